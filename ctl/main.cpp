// tallyvanectl: what the metering program is doing, from outside. Reads the agent folder and
// /proc; changes nothing but the records the management system hands it.
#include <CLI/CLI.hpp>
#include <cstdlib>
#include <iostream>
#include <string>

#include "Commands.h"

using namespace tallyvane::ctl;

int main(int argc, char** argv) {
    CLI::App app{"Shows what the Tallyvane metering program is doing; changes only the records.",
                 "tallyvanectl"};
    app.set_version_flag("--version", std::string("tallyvanectl ") + TALLYVANE_VERSION);
    const char* env = std::getenv("VORNAGENT_PATH");
    std::string agentFolder = env && *env ? env : TALLYVANE_AGENT_FOLDER;
    app.add_option("--agent-folder", agentFolder, "the agent folder (VORNAGENT_PATH)")
        ->capture_default_str();
    app.require_subcommand(1);

    auto* statusCommand = app.add_subcommand(
        "status", "the monitor, its event source, the metered figures, AddedTime, the server");
    auto* reportCommand = app.add_subcommand("report", "what the next report would hold");
    bool dry = false, verbose = false;
    reportCommand->add_flag("--dry-run", dry, "print the document a report run would post now")
        ->required();
    reportCommand->add_flag("--verbose", verbose, "show the metering code's log lines on stderr");
    auto* exportCommand = app.add_subcommand("export", "the local figures, one row per record");
    bool json = false, csv = false;
    auto* jsonFlag = exportCommand->add_flag("--json", json, "as a JSON array");
    exportCommand->add_flag("--csv", csv, "as CSV with a header line")->excludes(jsonFlag);
    auto* recordsCommand = app.add_subcommand(
        "records", "change the metering records (as root: as the metering folder's owner)");
    recordsCommand->require_subcommand(1);
    std::string importFile, removeId;
    recordsCommand
        ->add_subcommand("import",
                         "merge the records of FILE (by AppDefinitionId), keeping the "
                         "figures already there")
        ->add_option("FILE", importFile, "a property list: AppDefinitionId to record")
        ->required();
    recordsCommand->add_subcommand("remove", "remove the record of an app definition")
        ->add_option("ID", removeId, "the AppDefinitionId")
        ->required();
    for (auto* command : {statusCommand, reportCommand, exportCommand, recordsCommand})
        command->fallthrough();
    CLI11_PARSE(app, argc, argv);

    const auto c = context(agentFolder);
    if (!c) return 1;
    if (*recordsCommand) return changeRecords(*c, importFile, removeId);
    if (*statusCommand) return status(*c);
    if (*reportCommand) return dryRun(*c, verbose);
    if (!json && !csv) {
        std::cerr << "tallyvanectl: export needs --json or --csv\n";
        return 2;
    }
    return exportFigures(*c, json);
}
