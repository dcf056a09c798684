#pragma once
#include <string>

class ProcessInfo {
  public:
    // True exactly when the parent process runs as root (real, effective, saved and file-system
    // user ids all 0) and its executable is one of the TrustedParentPath settings (both sides
    // resolved with realpath). The executable is read from /proc/PPID/exe where this process may
    // read it (it runs as root); otherwise, since an ordinary user cannot read a root process's
    // exe link, from the registration that the parent wrote in kRegistrationDirectory, which must
    // name the parent's PID and start time and be root-owned and writable by root only. Anything
    // When the parent registered, this process's own executable must also be the program the
    // registration names. Anything else means false: no setting, globals not set up, a parent that
    // is gone, changed while it was looked at, runs as any other user, or runs an executable that
    // was deleted.
    static bool CheckIfTrueParent();

    // Where root's management agents register: one file "agent.PID" per agent process holding
    // its start time (clock ticks after boot), its resolved executable and the resolved program
    // it starts, a line each.
    static constexpr const char* kRegistrationDirectory = "/run/tallyvane";
};

// Registers the current process as a management agent for the parent check of program, which it
// starts, for as long as the object lives. Only root can register; registered() tells whether
// it did, error() why not.
class ParentRegistration {
  public:
    explicit ParentRegistration(const std::string& program);
    ~ParentRegistration();
    ParentRegistration(const ParentRegistration&) = delete;
    ParentRegistration& operator=(const ParentRegistration&) = delete;

    bool registered() const { return !path_.empty(); }
    const std::string& error() const { return error_; }

  private:
    std::string path_;
    std::string error_;
};
