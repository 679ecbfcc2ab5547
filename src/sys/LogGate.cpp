#include "sys/LogGate.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <utility>

#include "sys/Log.h"
#include "sys/LogText.h"

namespace {

// What a line of the gate adds to the text it recalls, at most: the prefix
// (a thread id of ten digits), the words, the count and the time.
constexpr size_t GATE_LINE_OVERHEAD = 140;

// The subject of a line logged outside every step's scope; it is tried in
// every pass.
const std::string HOST_SUBJECT = "host";

const LogSubject* g_innermost = nullptr;

// "2026-12-07 08:46:06", local time, as the writer stamps its lines.
std::string Stamp(time_t when)
{
    struct tm local {};
    char text[32] = "unknown system time";
    if (localtime_r(&when, &local) != nullptr) {
        (void)strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
    }
    return text;
}

} // namespace

void LogGate::BeginPass(long long seconds)
{
    ++pass;
    now = seconds;
    gating = true;
    tracking = !open.empty();
    met.clear();
    tried.clear();
    Try(HOST_SUBJECT);
}

void LogGate::Meet(const std::string& subject)
{
    if (tracking) {
        met.push_back(subject);
    }
}

void LogGate::Try(const std::string& subject)
{
    if (tracking) {
        tried.push_back(subject);
    }
}

void LogGate::Log(const std::string& subject, int level, const std::string& text)
{
    if (!gating) {
        WriteLog(level, "%s\n", text.c_str());
        return;
    }
    const auto [found, fresh] =
        open.try_emplace(Key{subject, level, text}, Condition{begun, pass, pass, 0, 0, 0, now});
    Condition& condition = found->second;
    condition.lastPass = pass;
    if (fresh) {
        ++begun;
        condition.since = time(nullptr);
    }
    // Its first pass says all it says, as the log always did.
    if (condition.startPass == pass) {
        WriteLog(level, "%s\n", text.c_str());
        return;
    }
    ++condition.repeats;
}

void LogGate::EndPass()
{
    std::vector<Entry> ended;
    std::vector<Entry> due;
    for (auto it = open.begin(); it != open.end(); ++it) {
        const Condition& condition = it->second;
        // Not said again in this pass: ended, unless its subject was met
        // and not tried.
        const std::string& subject = it->first.subject;
        if (condition.lastPass != pass && (std::find(tried.begin(), tried.end(), subject) != tried.end() ||
                                           std::find(met.begin(), met.end(), subject) == met.end())) {
            ended.push_back(it);
        } else if (condition.repeats > condition.repeatsSaid && now - condition.lastSaid >= LOG_REMINDER_SECONDS) {
            // One not tried since it was last said (its disk silent, its
            // inventory not rebuilt) is not known to last: nothing to recall.
            due.push_back(it);
        }
    }
    Say(ended, true);
    Say(due, false);
}

void LogGate::EndAll()
{
    std::vector<Entry> ended;
    for (auto it = open.begin(); it != open.end(); ++it) {
        ended.push_back(it);
    }
    Say(ended, true);
    gating = false;
}

void LogGate::Say(std::vector<Entry>& entries, bool end)
{
    std::sort(entries.begin(), entries.end(),
              [](const Entry& one, const Entry& other) { return one->second.order < other->second.order; });
    std::vector<bool> said(entries.size(), false);
    for (size_t first = 0; first < entries.size(); ++first) {
        if (said[first]) {
            continue;
        }
        const Key& key = entries[first]->first;
        const Condition& condition = entries[first]->second;
        // Conditions alike but for their device share a line, so that a
        // failure of every device of a host costs one line, not one each.
        std::string subjects = key.subject;
        for (size_t next = first + 1; next < entries.size(); ++next) {
            const Key& other = entries[next]->first;
            const Condition& alike = entries[next]->second;
            if (!said[next] && other.level == key.level && other.text == key.text && alike.since == condition.since &&
                alike.repeats == condition.repeats &&
                subjects.size() + other.subject.size() + key.text.size() + GATE_LINE_OVERHEAD < LOG_LINE_MAX) {
                subjects += ", " + other.subject;
                said[next] = true;
            }
        }
        const size_t room = LOG_LINE_MAX - std::min(LOG_LINE_MAX, GATE_LINE_OVERHEAD + subjects.size());
        Write(subjects, key, condition, key.text.substr(0, room), end);
    }
    for (const Entry& entry : entries) {
        if (end) {
            open.erase(entry);
        } else {
            entry->second.lastSaid = now;
            entry->second.repeatsSaid = entry->second.repeats;
        }
    }
}

void LogGate::Write(const std::string& subjects, const Key& key, const Condition& condition,
                    const std::string& text, bool end) const
{
    const std::string since = Stamp(condition.since);
    if (end) {
        WriteLog(LOG_INFO, "%s: ended after %llu repeats since %s: %s\n", subjects.c_str(), condition.repeats,
                 since.c_str(), text.c_str());
        return;
    }
    // At the condition's own level, so that a search for errors finds it in
    // today's log.
    if (key.level == LOG_ERROR) {
        WriteLog(LOG_ERROR, "%s: still failing after %llu repeats since %s: %s\n", subjects.c_str(),
                 condition.repeats, since.c_str(), text.c_str());
    } else {
        WriteLog(LOG_WARNING, "%s: still failing after %llu repeats since %s: %s\n", subjects.c_str(),
                 condition.repeats, since.c_str(), text.c_str());
    }
}

LogGate& ProcessLogGate()
{
    static LogGate gate;
    return gate;
}

LogSubject::LogSubject(std::string subject) : name(std::move(subject)), outer(g_innermost)
{
    g_innermost = this;
    ProcessLogGate().Try(name);
}

LogSubject::~LogSubject()
{
    g_innermost = outer;
}

const std::string& LogSubject::Current()
{
    return g_innermost != nullptr ? g_innermost->name : HOST_SUBJECT;
}

void LogCondition(int level, const char* format, ...)
{
    // The line as the writer would compose it: escaped, its line end off.
    // One that does not fit could not be written either.
    char text[LOG_LINE_MAX + 1];
    va_list args;
    va_start(args, format);
    const int length = FormatLogText(text, sizeof(text), LOG_LINE_MAX, format, args);
    va_end(args);
    if (length < 0) {
        printf("The log info is invalid \n");
        return;
    }
    StripLineEnds(text);
    ProcessLogGate().Log(LogSubject::Current(), level, text);
}
