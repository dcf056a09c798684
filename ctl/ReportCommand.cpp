// tallyvanectl report --dry-run: the document a report run would post now, alone on standard
// output.
#include <fcntl.h>
#include <unistd.h>

#include <iostream>

#include "Commands.h"
#include "ReportPreview.h"

namespace tallyvane::ctl {

int dryRun(const Context& c, bool verbose) {
    // The metering code logs and prints as it goes; only the document belongs on standard output.
    std::cout.flush();
    const int out = ::dup(1), err = ::dup(2), null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(null, 1);
    if (!verbose) ::dup2(null, 2);
    const auto document = ctl::previewReport(c.dataFolder);
    ::dup2(out, 1);
    ::dup2(err, 2);
    for (int fd : {out, err, null}) ::close(fd);
    if (!document) {
        std::cerr << "tallyvanectl: " << c.meteringFile("AppLaunchData.plist")
                  << " cannot be read: a report run would send nothing\n";
        return 1;
    }
    std::cout << *document;
    std::cout.flush();
    return 0;
}

}  // namespace tallyvane::ctl
