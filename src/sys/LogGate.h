// The repeat gate above the log writer: a failure that persists is said
// once, counted while it lasts, recalled once an hour and said again when it
// ends, so that the log keeps months of history instead of hours.
//
// A condition is one message (its level and text as the writer writes them)
// together with its subject: the device, OSD or inventory that the step which
// met it works on. In the pass where a condition starts, its lines are
// written as they come; from the next pass on they are counted. It ends when
// its subject is tried in a pass and the message does not come again (the
// step succeeded, or another message took its place), when its subject is
// not met in a pass at all (the device went away), and when the daemon
// stops. A subject that is met but not tried (a silent disk whose turn has
// not come) keeps its conditions open: not tried is not ended.
//
// Events (a switch, a rescan, a sync, a change of the inventory, a disk that
// stops or starts answering, start and stop) are history and never pass
// through here: they call WriteLog.
#ifndef QUELVAR_SYS_LOGGATE_H
#define QUELVAR_SYS_LOGGATE_H

#include <ctime>
#include <map>
#include <string>
#include <tuple>
#include <vector>

// An open condition is recalled when it was last said this long ago.
constexpr long long LOG_REMINDER_SECONDS = 3600;

class LogGate {
public:
    // Opens a pass at `seconds` of a monotonic clock. Until the first pass,
    // and after EndAll, every line is written as it comes.
    void BeginPass(long long seconds);
    // Closes the pass: one line for the conditions that ended in it, in the
    // order they began, then a reminder of those still open that have
    // repeated since they were last said, an hour ago or more. Conditions
    // alike but for their subject (begun together, of one message, counted
    // alike) share a line, which names all their subjects.
    void EndPass();
    // Ends every open condition with its line (the daemon stops) and lets
    // every later line through.
    void EndAll();

    // The subject exists in this pass though its step did not run.
    void Meet(const std::string& subject);
    // The subject's step runs in this pass: what it does not say again has
    // ended.
    void Try(const std::string& subject);
    // One line of a condition, its text as the writer would write it (no
    // line end): written, or counted.
    void Log(const std::string& subject, int level, const std::string& text);

private:
    struct Key {
        std::string subject;
        int level;
        std::string text;
        bool operator<(const Key& other) const
        {
            return std::tie(subject, level, text) < std::tie(other.subject, other.level, other.text);
        }
    };
    struct Condition {
        unsigned long long order;        // begun after every condition of a lower order
        unsigned long long startPass;
        unsigned long long lastPass;     // the last pass it came in
        unsigned long long repeats;      // lines counted, not written
        unsigned long long repeatsSaid;  // the count its last reminder gave
        time_t since;                    // when its first line was written
        long long lastSaid;              // monotonic seconds of its first line or last reminder
    };
    using Entry = std::map<Key, Condition>::iterator;

    // One line for each set of `entries` alike but for their subject: their
    // end (then they are forgotten) or their reminder.
    void Say(std::vector<Entry>& entries, bool end);
    void Write(const std::string& subjects, const Key& key, const Condition& condition, const std::string& text,
               bool end) const;

    std::map<Key, Condition> open;
    // The subjects of this pass, kept only when a condition was open as it
    // began: only one of an earlier pass can end in it. A healthy host's pass
    // costs the gate nothing.
    bool tracking = false;
    std::vector<std::string> met;
    std::vector<std::string> tried;
    unsigned long long pass = 0;
    unsigned long long begun = 0;
    long long now = 0;
    bool gating = false;
};

// The one gate of the process: the daemon's loop opens and closes its
// passes, and LogCondition writes through it.
[[nodiscard]] LogGate& ProcessLogGate();

// The subject of every condition logged while it lives, and its try in this
// pass. Scopes nest: the innermost one names the subject (a bcache device's
// steps, then its disk's commands), so that the layers below, which do not
// know the device, need not be told it.
class LogSubject {
public:
    explicit LogSubject(std::string name);
    ~LogSubject();
    LogSubject(const LogSubject&) = delete;
    LogSubject& operator=(const LogSubject&) = delete;

    // The innermost subject; the host's name outside every scope.
    [[nodiscard]] static const std::string& Current();

private:
    std::string name;
    const LogSubject* outer;
};

// Logs a line of a condition that may repeat from pass to pass, through the
// process's gate, as the message of its current subject. The level and the
// text are as WriteLog would write them.
void LogCondition(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

#endif
