// SPDX-License-Identifier: GPL-3.0-or-later
// A search that nobody answers spends its budget at about one unit per probe cycle (slow: ~9 s).

#include <gtest/gtest.h>

#include "device/Link.h"
#include "support/DeviceRig.h"

namespace {

using namespace ll::device;

TEST(Search, NoBootloaderAfterTheBudgetOfProbeCycles) {
  ll::test::DeviceRig rig([](ll::sim::SimOptions& o) { o.neverAnswer = true; });
  ASSERT_TRUE(OpenLink(rig.ctx, kUploadLink));
  PrepareSearch(rig.ctx, kUploadLink);
  const SearchResult result = SearchBootloader(rig.ctx, kUploadLink);
  EXPECT_EQ(result, SearchResult::NoBootloader);
  EXPECT_FALSE(ReportSearch(rig.ctx, kUploadLink, result));
  EXPECT_EQ(rig.host.log, (ll::test::Lines{rig.Msg(MsgSearching), rig.Msg(MsgNoBootloader)}));
  EXPECT_FALSE(rig.port.Open());
  // Ticks that fall due during the blocking pauses merge: one budget unit per cycle, so the
  // search makes close to 30 probes, not the 6 that 30 ticks of real time would allow.
  ASSERT_TRUE(rig.sim.WaitUntil([&] { return rig.sim.ProbesSeen() >= 25; }, std::chrono::seconds(10)));
  EXPECT_LE(rig.sim.ProbesSeen(), 31);
}

}  // namespace
