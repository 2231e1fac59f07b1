#include "shell/FrontEndArguments.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestrel {
namespace {

FrontEndArguments Parse(FrontEnd front_end, std::vector<const char*> args) {
  args.insert(args.begin(), "program");
  return ParseFrontEndArguments(front_end, static_cast<int>(args.size()), args.data());
}

TEST(FrontEndArgumentsTest, HelpAndVersionWinWhereverTheyStand) {
  EXPECT_EQ(Parse(FrontEnd::kHeadless, {"user", "add", "--help"}).action,
            FrontEndArguments::Action::kHelp);
  EXPECT_EQ(Parse(FrontEnd::kDesktop, {"--bogus", "--version"}).action,
            FrontEndArguments::Action::kVersion);
}

TEST(FrontEndArgumentsTest, HeadlessTakesTheWorkdirFirstAndLeavesTheCommand) {
  const FrontEndArguments parsed =
      Parse(FrontEnd::kHeadless, {"--workdir", "/srv/k", "project", "list"});
  EXPECT_EQ(parsed.workdir, "/srv/k");
  EXPECT_EQ(parsed.rest, (std::vector<std::string>{"project", "list"}));
  EXPECT_EQ(Parse(FrontEnd::kHeadless, {"--workdir"}).action,
            FrontEndArguments::Action::kUsageError);
}

TEST(FrontEndArgumentsTest, DesktopTakesItsOptionsAnywhereAndLeavesTheUnknown) {
  const FrontEndArguments parsed =
      Parse(FrontEnd::kDesktop, {"--screenshot", "/tmp/s", "--workdir", "--show-logging"});
  EXPECT_TRUE(parsed.show_logging);
  EXPECT_EQ(parsed.screenshot_dir, "/tmp/s");
  EXPECT_EQ(parsed.rest, (std::vector<std::string>{"--workdir"}));
}

}  // namespace
}  // namespace kestrel
