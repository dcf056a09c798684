#pragma once

class ProcessInfo {
public:
    // True exactly when the resolved executable of the parent process equals one of the
    // TrustedParentPath settings. No setting means false: the check fails closed.
    static bool CheckIfTrueParent();
};
