// tallyvanectl report --dry-run: the document a report run would post now, alone on standard
// output.
#include <iostream>

#include "Commands.h"
#include "ReportPreview.h"

namespace tallyvane::ctl {

int dryRun(const Context& c, bool verbose) {
    const auto document = ctl::previewReport(c.dataFolder, verbose);
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
