#include "sys/LogGate.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "sys/Log.h"
#include "sys/LogText.h"

namespace {

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
    met.clear();
    tried.clear();
    tried.insert(HOST_SUBJECT);
}

void LogGate::Meet(const std::string& subject)
{
    if (gating) {
        met.insert(subject);
    }
}

void LogGate::Try(const std::string& subject)
{
    if (gating) {
        tried.insert(subject);
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
    for (auto it = open.begin(); it != open.end(); ++it) {
        const bool wasTried = tried.count(it->first.subject) != 0;
        const bool gone = !wasTried && met.count(it->first.subject) == 0;
        if (gone || (wasTried && it->second.lastPass != pass)) {
            ended.push_back(it);
        }
    }
    End(ended);
    // A condition not tried since its last line (its disk silent, its
    // inventory not rebuilt) is not known to last: nothing to recall.
    for (auto& [key, condition] : open) {
        if (condition.repeats > condition.repeatsSaid && now - condition.lastSaid >= LOG_REMINDER_SECONDS) {
            Remind(key, condition);
        }
    }
}

void LogGate::EndAll()
{
    std::vector<Entry> ended;
    for (auto it = open.begin(); it != open.end(); ++it) {
        ended.push_back(it);
    }
    End(ended);
    gating = false;
}

void LogGate::End(std::vector<Entry>& ended)
{
    std::sort(ended.begin(), ended.end(),
              [](const Entry& one, const Entry& other) { return one->second.order < other->second.order; });
    for (const Entry& entry : ended) {
        const Key& key = entry->first;
        WriteLog(LOG_INFO, "%s: ended after %llu repeats since %s: %s\n", key.subject.c_str(),
                 entry->second.repeats, Stamp(entry->second.since).c_str(), key.text.c_str());
        open.erase(entry);
    }
}

void LogGate::Remind(const Key& key, Condition& condition)
{
    condition.lastSaid = now;
    condition.repeatsSaid = condition.repeats;
    const std::string since = Stamp(condition.since);
    // At the condition's own level, so that a search for errors finds it in
    // today's log.
    if (key.level == LOG_ERROR) {
        WriteLog(LOG_ERROR, "%s: still failing after %llu repeats since %s: %s\n", key.subject.c_str(),
                 condition.repeats, since.c_str(), key.text.c_str());
    } else {
        WriteLog(LOG_WARNING, "%s: still failing after %llu repeats since %s: %s\n", key.subject.c_str(),
                 condition.repeats, since.c_str(), key.text.c_str());
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
    const int length = format == nullptr ? -1 : FormatLogText(text, sizeof(text), LOG_LINE_MAX, format, args);
    va_end(args);
    if (length < 0) {
        printf("The log info is invalid \n");
        return;
    }
    StripLineEnds(text);
    ProcessLogGate().Log(LogSubject::Current(), level, text);
}
