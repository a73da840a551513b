// netinstall-server's refusals: every mistake on the command line or in the package list ends
// the program with status 2 and one line saying what was wrong, before anything touches the
// network; an interface that cannot be used ends it with status 1.
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "support/qpk_builder.h"
#include "support/scratch_dir.h"
#include "support/staged_root.h"

namespace {

const std::string kTool =
    std::string(TRENAVOX_BINARY_DIR) + "/tools/netinstall-server/netinstall-server";

TEST(NetinstallServer, refusesBadCommandLinesAndPackageListsWithOneLine) {
  ScratchDir scratch;
  ASSERT_TRUE(writeFile(scratch.file("p1.qpk"),
                        qpktest::buildQpk(qpktest::pkgInfo("p1"), {qpktest::file("p1", "1\n")})));
  ASSERT_TRUE(writeFile(scratch.file("junk.qpk"), "not a package\n"));
  ASSERT_EQ(system(("mkdir " + scratch.file("empty")).c_str()), 0);
  const std::string pkg = scratch.file("p1.qpk");
  struct Case {
    std::string arguments;
    int status;
    std::string line;  // the first line of what the program says
  } cases[] = {
      {"--keep-config", 2, "netinstall-server: no packages given"},
      {"--keep-config --timeout", 2, "netinstall-server: --timeout needs a value"},
      {"--frobnicate 1 " + pkg, 2, "netinstall-server: unknown option --frobnicate"},
      {"--router 02:00:00:00:00 --keep-config " + pkg, 2,
       "netinstall-server: bad value for --router: 02:00:00:00:00"},
      {"--address 10.1.2.3 " + pkg, 2, "netinstall-server: bad value for --address: 10.1.2.3"},
      {"--address 10.1.2.3/33 " + pkg, 2,
       "netinstall-server: bad value for --address: 10.1.2.3/33"},
      {"--routers 0 --keep-config " + pkg, 2, "netinstall-server: bad value for --routers: 0"},
      {"--baud -5 --address 10.1.2.3/24 " + pkg, 2, "netinstall-server: bad value for --baud: -5"},
      {"--keep-config --address 10.1.2.3/24 " + pkg, 2,
       "netinstall-server: --keep-config takes no address, gateway or baud rate"},
      {"--all --router 02:00:00:00:00:01 --keep-config " + pkg, 2,
       "netinstall-server: --router takes one router, --all and --routers many"},
      {"--all " + pkg, 2, "netinstall-server: --all and --routers need --keep-config or --address"},
      {"--gateway 10.1.2.1 " + pkg, 2, "netinstall-server: --gateway and --baud need --address"},
      {pkg, 2, "netinstall-server: without a terminal, give --keep-config or --address"},
      {"--keep-config " + scratch.file("missing.qpk"), 2,
       "netinstall-server: " + scratch.file("missing.qpk") + ": No such file or directory"},
      {"--keep-config " + scratch.file("junk.qpk"), 2,
       "netinstall-server: " + scratch.file("junk.qpk") + ": not a readable package"},
      {"--keep-config " + scratch.file("empty"), 2, "netinstall-server: no packages found"},
      {"--interface tvx-none --keep-config " + pkg, 1,
       std::string("interface tvx-none cannot be used for the installation: ") +
           (geteuid() == 0 ? "No such device" : "Operation not permitted (run it as root)")},
  };
  for (const Case& c : cases) {
    std::string out = hostCommandOutput(TRENAVOX_RUN_PREFIX + kTool + " " + c.arguments +
                                        " </dev/null 2>&1; echo =$?");
    size_t status = out.rfind('=');
    EXPECT_EQ(atoi(out.c_str() + status + 1), c.status) << c.arguments << "\n" << out;
    EXPECT_EQ(out.substr(0, out.find('\n')), c.line) << c.arguments;
  }
}

}  // namespace
