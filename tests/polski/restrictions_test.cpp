// Turn restrictions and lane connections: accepted and refused forms.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "polski/restrictions.h"
#include "polski_testutil.h"

using namespace PolskiFormat;

namespace {

std::vector<uint32_t> Values(const CReallocArray<uint32_t>& a) { return std::vector<uint32_t>(a.begin(), a.end()); }

TEST(Restrictions, Lists) {
  struct TCase {
    const char* value;
    std::vector<uint32_t> expected;
  };
  const TCase cases[] = {
      {"1,2,3", {1, 2, 3}},
      {"1, 2, 3", {1, 2, 3}},
      {"1 2 3", {1, 2, 3}},
      {"5,-1,7", {5}},  // -1 ends the list
      {"0,4", {0, 4}},
      {"4,x,5", {4}},  // anything unreadable ends it quietly
      {"3000000000,4294967294", {3000000000u, 4294967294u}},  // ids above 2^31
      {"4294967295,1", {}},
      {"", {}},
      {",1", {}},
  };
  for (const TCase& c : cases) {
    CReallocArray<uint32_t> list;
    list.PushBack(99);
    ParseRestrictionList(c.value, list);
    EXPECT_EQ(Values(list), c.expected) << c.value;
  }
}

TEST(Restrictions, Sections) {
  struct TCase {
    const char* text;
    bool ok;
    int32_t nodeId;
    std::vector<uint32_t> points, roads;
  };
  const TCase cases[] = {
      {"TraffPoints=10,20", true, -1, {10, 20}, {}},
      {"TraffPoints=10", false, 0, {}, {}},
      {"TraffPoints=5,-1,7", false, 0, {}, {}},
      {"TraffPoints=0,4\nTraffRoads=7", true, -1, {0, 4}, {7}},
      {"Nod=12\nTraffPoints=1,2,3\nTraffRoads=4,5\nRestrParam=0,0,0,0,0,1,0,0\nTime=x", true, 12, {1, 2, 3}, {4, 5}},
      {"traffpoints=1,2\nTRAFFROADS=3\nnod=-5\nNod=7", true, 7, {1, 2}, {3}},
      {"TraffPoints=1,2,3\nTraffPoints=8", false, 0, {}, {}},  // a repeat replaces the list
      {"TraffPoints=8\nTraffPoints=1,2", true, -1, {1, 2}, {}},
      {"TraffRoads=1,2", false, 0, {}, {}},
      {"Nod=3000000000\nTraffPoints=1,2", true, static_cast<int32_t>(3000000000u), {1, 2}, {}},  // not saturated
      {"Nod=x\nTraffPoints=1,2", true, 0, {1, 2}, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    PolskiTest::CPairSource source;
    CRestrictSection section;
    source.Feed(section, c.text);
    ASSERT_EQ(section.Parse(), c.ok);  // a refused record is freed with the section
    if (!c.ok) continue;
    std::unique_ptr<TRestriction> r(section.TakeRecord());
    EXPECT_EQ(r->NodeId, c.nodeId);
    EXPECT_EQ(Values(r->TraffPoints), c.points);
    EXPECT_EQ(Values(r->TraffRoads), c.roads);
  }
  CRestrictSection keys;
  EXPECT_TRUE(keys.IsOwnKey("traffpoints"));
  EXPECT_TRUE(keys.IsOwnKey("Nod"));
  EXPECT_FALSE(keys.IsOwnKey("RestrParam"));
}

TEST(Restrictions, WriteBack) {
  PolskiTest::CPairSource source;
  CRestrictSection section;
  source.Feed(section, "Nod=3000000001\nTraffPoints=1,2,3000000000\nTraffRoads=4,5");
  ASSERT_TRUE(section.Parse());
  std::string path = TestUtil::MakeTempDir("restrict_write") + "out.txt";
  FILE* f = std::fopen(path.c_str(), "wb");
  section.Write(f);
  std::fclose(f);
  // Ids print as signed numbers; the list reader takes them back modulo 2^32.
  std::string text = TestUtil::ReadFile(path);
  EXPECT_EQ(text, "Nod=-1294967295\r\nTraffPoints=1,2,-1294967296\r\nTraffRoads=4,5\r\n");
  for (size_t cr; (cr = text.find('\r')) != std::string::npos;) text.erase(cr, 1);
  CRestrictSection back;
  source.Feed(back, text);
  ASSERT_TRUE(back.Parse());
  std::unique_ptr<TRestriction> r(back.TakeRecord());
  EXPECT_EQ(static_cast<uint32_t>(r->NodeId), 3000000001u);
  EXPECT_EQ(Values(r->TraffPoints), std::vector<uint32_t>({1, 2, 3000000000u}));
}

TEST(LaneConnections, Sections) {
  const char* kEnds = "LanePoints=1,2,3\nLaneRoads=10,20\n";
  struct TCase {
    std::string text;
    bool ok;
    std::vector<uint8_t> bytes;
  };
  const TCase cases[] = {
      {std::string(kEnds) + "LaneConnections=(1,2),(3,3)", true, {0x10, 0x22}},
      {std::string(kEnds) + "LaneConnections=(17,1),(2,1)", true, {0x01}},  // lanes above 16 are skipped
      {std::string(kEnds) + "LaneConnections=(16,16)", true, {0xFF}},
      {std::string(kEnds) + "LaneConnections=( 1 , 2 )", true, {0x10}},
      {std::string(kEnds) + "LaneConnections=(0,1)", false, {}},
      {std::string(kEnds) + "LaneConnections=(1,-2)", false, {}},
      {std::string(kEnds) + "LaneConnections=(1,2);(3,4)", false, {}},
      {std::string(kEnds) + "LaneConnections=(1,2),", false, {}},
      {std::string(kEnds) + "LaneConnections=(1,2),x", false, {}},
      {std::string(kEnds) + "LaneConnections=", false, {}},
      {std::string(kEnds) + "LaneConnections=1,2", false, {}},
      {std::string(kEnds), true, {}},
      {"LanePoints=1,2\nLaneRoads=10,20", false, {}},
      {"LanePoints=1,2\nLaneRoads=10,20\nLanePoints=4,5,6", true, {}},  // the last scan decides
      {"LanePoints=1,2,3\nLaneRoads=10", false, {}},
      {"lanepoints=1,2,3\nLANEROADS=10,20", true, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    PolskiTest::CPairSource source;
    CLanesSection section;
    source.Feed(section, c.text);
    ASSERT_EQ(section.Parse(), c.ok);
    if (!c.ok) continue;
    std::unique_ptr<TLanesRecord> r(section.TakeRecord());
    EXPECT_EQ(std::vector<uint8_t>(r->LaneConnections.begin(), r->LaneConnections.end()), c.bytes);
  }
  PolskiTest::CPairSource source;
  CLanesSection section;
  source.Feed(section, "LanePoints=3000000000,2,4294967295\nLaneRoads=10,20");
  ASSERT_TRUE(section.Parse());
  std::unique_ptr<TLanesRecord> r(section.TakeRecord());
  EXPECT_EQ(r->LanePoints[0], 3000000000u);
  EXPECT_EQ(r->LanePoints[1], 2u);
  EXPECT_EQ(r->LanePoints[2], 0xFFFFFFFFu);
  EXPECT_EQ(r->LaneRoads[0], 10u);
  EXPECT_EQ(r->LaneRoads[1], 20u);
}

}  // namespace
