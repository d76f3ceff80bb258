// A table which cannot grow ends the program with "out of memory" and exit code 1:
// each allocation of each table operation is made to fail in turn.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

#include "FailingAllocator.h"
#include "KesConfiguration.h"

namespace {

class Table : public KesConfiguration {
 public:
  explicit Table(const KesString& marker) : KesConfiguration(1, marker) {}

 protected:
  void ParseLine(const KesString&) override {}
};

using Step = std::function<void(std::optional<Table>&)>;

struct OomCase {
  const char* name;
  Step setup;      // runs with memory to spare
  Step operation;  // runs with one of its allocations failing
};

TEST(ConfigOutOfMemoryTest, TableThatCannotGrowEndsTheProgram) {
  // Everything the operations need beyond the table is made before they run, so that
  // each of their allocations belongs to the table.
  const KesString marker("*"), key("k"), other("j"), value("v"), name("S");
  const OomCase cases[] = {
      {"creating the section table", [](auto&) {}, [&](auto& t) { t.emplace(marker); }},
      {"the first entry makes the unnamed section", [&](auto& t) { t.emplace(marker); },
       [&](auto& t) { t->SetValue(key, value); }},
      {"adding a key to a section",
       [&](auto& t) {
         t.emplace(marker);
         t->SetValue(key, value);
       },
       [&](auto& t) { t->SetValue(other, value); }},
      {"adding a named section", [&](auto& t) { t.emplace(marker); },
       [&](auto& t) { t->SelectSection(name); }},
      {"adding a second section of the same name",
       [&](auto& t) {
         t.emplace(marker);
         t->SelectSection(name);
       },
       [&](auto& t) { t->SelectSection(name); }},
  };
  for (const OomCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<Table> dry;
    c.setup(dry);
    long before = allocationCount;
    c.operation(dry);
    long allocations = allocationCount - before;
    ASSERT_GT(allocations, 0);
    for (long failing = 1; failing <= allocations; ++failing) {
      SCOPED_TRACE("failing allocation " + std::to_string(failing));
      EXPECT_EXIT(
          {
            std::optional<Table> t;
            c.setup(t);
            failingAllocation = failing;
            c.operation(t);
            std::exit(0);
          },
          testing::ExitedWithCode(1), "^out of memory\n$");
    }
  }
}

TEST(ConfigOutOfMemoryTest, OperationsSucceedWhenMemoryIsThere) {
  Table table{KesString("*")};
  table.SetValue(KesString("k"), KesString("v"));
  table.SelectSection(KesString("S"));
  table.SetValue(KesString("k"), KesString("w"));
  EXPECT_EQ(table.Lookup(KesString("S"), KesString("k")), KesString("w"));
  EXPECT_EQ(table.Lookup(KesString(""), KesString("k")), KesString("v"));
}

}  // namespace
