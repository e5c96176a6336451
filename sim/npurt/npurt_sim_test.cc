// The simulated runtime's records stay bounded over long runs and keep
// whole entries, reached through libfenn's forwarders like every user.
#include <gtest/gtest.h>

#include <string>

#include "npu/npu_test_support.h"
#include "npu/zornn_api.h"

namespace {

TEST(NpurtSimRecords, GrowingRecordsStayBoundedAndWhole) {
  SimNpurt sim;
  ASSERT_TRUE(sim.ok());
  sim.Reset();
  zornn_in_out_num io{};
  // Refused calls (an unknown handle) are still logged.
  const int calls = 500000;
  for (int i = 0; i < calls; ++i) {
    ASSERT_EQ(zornn_query(nullptr, ZORNN_QUERY_IN_OUT_NUM, &io, sizeof(io)), -1);
  }
  EXPECT_EQ(sim.Count("zornn_query"), calls);
  const std::string log = sim.Text("calls");
  EXPECT_LE(log.size(), size_t{4} << 20);
  EXPECT_GE(log.size(), size_t{2} << 20);
  EXPECT_EQ(log.compare(0, 12, "zornn_query\n"), 0);
  EXPECT_EQ(log.size() % 12, 0u);
  sim.Reset();
  EXPECT_EQ(sim.Text("calls"), "");
  EXPECT_EQ(sim.Count("zornn_query"), 0);
}

}  // namespace
