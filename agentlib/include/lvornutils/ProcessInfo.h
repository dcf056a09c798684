#pragma once

class ProcessInfo {
  public:
    // True exactly when the resolved executable of the parent process equals one of the
    // TrustedParentPath settings (both sides resolved with realpath). No setting, globals not set
    // up, or a parent whose executable cannot be resolved (gone, deleted, another user's) means
    // false: the check fails closed.
    static bool CheckIfTrueParent();
};
