// Report mode as a real process posting to a real management server on 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/AgentInstallation.h"
#include "support/MgmtServer.h"

namespace tallyvane::test {
namespace {

using namespace std::chrono_literals;
using plist::Dict;

const Dict kUsage{{"FileName", "Editor.app"},   {"AppDefinitionId", "100"},
                  {"TOTAL_RUN_COUNT", 3},       {"TOTAL_RUN_TIME", 120},
                  {"LAST_USED", 1'700'000'000}, {"LAUNCH_TIME", 1'699'999'000},
                  {"PRODUCT_NAME", "Editor"},   {"PRODUCT_VERSION", "3.2"},
                  {"FILE_VERSION", "3.2"},      {"AgentKey", "kept"}};

// One usage record reported with a monitor running beside the report run.
TEST(ReportRuns, AnAcceptedReportIsStoredStampedAndCleared) {
    MgmtServer server;
    AgentInstallation agent(Dict{{"ServerURL", server.url()},
                                 {"localComputerName", "mac 01"},
                                 {"encodedLocalNameSpace", "WORKGROUP"},
                                 {"vornCustomerID", "7"},
                                 {"vornRemoteOffID", "3"}});
    writePlist(agent.meteringPath("AppLaunchData.plist"), Dict{{"100", kUsage}});
    writePlist(agent.meteringPath("AppPostData.plist"), Dict{{"AddedTime", "5"}, {"Other", "x"}});
    auto monitor = agent.start({"startMonitoring"});
    ASSERT_TRUE(eventually([&] { return agent.logHas("Inside checkAlreadyRunningApps"); }));

    EXPECT_EQ(agent.start({"postxmldata"})->waitExit(), 1);
    const auto launchData = parsePlistFile(agent.meteringPath("AppLaunchData.plist"));
    const auto postData = parsePlistFile(agent.meteringPath("AppPostData.plist"));
    // The monitor hears "reset" and reloads.
    EXPECT_TRUE(eventually([&] { return agent.logHas("AppMonitor: resetPlist() called"); }));
    EXPECT_TRUE(agent.logHas("generateAndPostXML: Software Metering data sent successfully"));
    ASSERT_TRUE(server.waitForRequests(1));
    const auto request = server.requests().front();
    EXPECT_EQ(request.target,
              "/invswmetering?computer=mac%2001&domain=WORKGROUP&customerId=7&resourceid=0"
              "&remoffId=3&actionToCall=1");
    EXPECT_NE(request.body.find("<InvAppDefinitionUsage APP_DEFINITION_ID=\"100\" "
                                "USER_SID=\"S-1-5-18\" LAST_USED=\"1700000000\" "
                                "TOTAL_RUN_COUNT=\"3\" TOTAL_RUN_TIME=\"120\" FILE_VERSION=\"3.2\" "
                                "PRODUCT_NAME=\"Editor\" PRODUCT_VERSION=\"3.2\" />"),
              std::string::npos)
        << request.body;

    ASSERT_TRUE(launchData);
    Dict expected = kUsage;
    for (const char* key :
         {"TOTAL_RUN_COUNT", "TOTAL_RUN_TIME", "LAST_USED", "LAUNCH_TIME", "RUNNING_NO_OF_DAYS"})
        expected.erase(key);
    EXPECT_EQ(*launchData, plist::Value(Dict{{"100", expected}}));

    ASSERT_TRUE(postData);
    const Dict& post = *plist::asDict(*postData);
    EXPECT_EQ(*plist::stringFor(post, "Other"), "x");
    ASSERT_TRUE(plist::stringFor(post, "AddedTime"));
    EXPECT_NE(*plist::stringFor(post, "AddedTime"), "5");
}

TEST(ReportRuns, ASecondRunWaitsForTheFirstSoNothingIsPostedTwice) {
    MgmtServer slow({.status = 200, .delayMs = 1500});
    AgentInstallation agent(Dict{{"ServerURL", slow.url()}});
    writePlist(agent.meteringPath("AppLaunchData.plist"), Dict{{"100", kUsage}});
    auto first = agent.start({"postxmldata"});
    ASSERT_TRUE(slow.waitForRequests(1));  // posted, its answer still to come
    auto second = agent.start({"postxmldata"});
    EXPECT_EQ(first->waitExit(), 1);
    EXPECT_EQ(second->waitExit(), 1);
    ASSERT_TRUE(slow.waitForRequests(2));
    const auto requests = slow.requests();
    EXPECT_NE(requests[0].body.find("TOTAL_RUN_COUNT=\"3\""), std::string::npos);
    EXPECT_EQ(requests[1].body.find("InvAppDefinitionUsage"), std::string::npos);
    EXPECT_TRUE(agent.logHas(
        "generateAndPostXML: another report run is in progress; waiting for it to end"));
    // Without a launch-data file nothing is sent.
    std::filesystem::remove(agent.meteringPath("AppLaunchData.plist"));
    EXPECT_EQ(agent.start({"postxmldata"})->waitExit(), 1);
    EXPECT_EQ(slow.requests().size(), 2u);
}

}  // namespace
}  // namespace tallyvane::test
