// A scripted "pvs" placed first on PATH, answering whatever it is asked
// with the report a test writes.
#ifndef QUELVAR_TESTS_SUPPORT_PVSSCRIPT_H
#define QUELVAR_TESTS_SUPPORT_PVSSCRIPT_H

#include <string>
#include <vector>

class PvsScript {
public:
    PvsScript();   // the script in a fresh directory under /tmp, PATH extended
    ~PvsScript();  // PATH restored, directory removed
    PvsScript(const PvsScript&) = delete;
    PvsScript& operator=(const PvsScript&) = delete;

    // What "pvs" prints.
    void SetReport(const std::string& output);
    // Every run exits with status 5 and prints nothing, as pvs does when
    // LVM is not ready.
    void SetFailing(bool failing);
    // The arguments of every run so far, one entry per run.
    std::vector<std::string> Calls() const;

private:
    void Write(const std::string& name, const std::string& content) const;
    std::string dir;
    std::string savedPath;
};

#endif
