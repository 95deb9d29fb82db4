// Runs the whole program once for every allocation it makes, with that one allocation failing,
// and checks that each run ends in event 102 and releases everything. Its own executable: it
// replaces the global operator new.

#include "core/failure.h"
#include "in_memory_world.h"
#include "options/command_line_options.h"
#include "run/run.h"

#include <cstdlib>
#include <new>

namespace {

long long allocationsBeforeFailure = -1; // negative: no failure planned
long long allocationsMade = 0;

} // namespace

void *operator new(std::size_t size) {
  // Inside a Win32 call: those fail by their results, never by throwing.
  if (morex::in_memory::Entered::depth > 0)
    return std::malloc(size ? size : 1);
  if (allocationsBeforeFailure >= 0 && allocationsBeforeFailure-- == 0)
    throw std::bad_alloc(); // once: the count is negative from then on
  ++allocationsMade;
  if (void *memory = std::malloc(size ? size : 1))
    return memory;
  throw std::bad_alloc();
}
// GoogleTest 1.16 allocates with this one; unreplaced, it would come from a runtime whose
// memory the replacement delete below must not free.
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}
void operator delete(void *memory) noexcept {
  std::free(memory);
}
void operator delete(void *memory, std::size_t) noexcept {
  std::free(memory);
}

namespace morex {
namespace {

class OutOfMemoryTest : public InMemoryWorldTest {
protected:
  void Arrange(bool managerRefused) {
    in_memory::Reset();
    world().services["Spooler"] = in_memory::Service{};
    world().commandLine = u"Morex.exe /command start /service Spooler";
    if (managerRefused)
      world().faults[in_memory::Call::OpenSCManagerA] = {platform::kErrorAccessDenied};
  }

  void ExpectEveryFailureEndsIn102(bool managerRefused) {
    Arrange(managerRefused);
    allocationsMade = 0;
    mdlMain::Main(); // counts the allocations of one run
    const long long total = allocationsMade;
    ExpectNothingOutstanding(); // before the next Arrange replaces this world
    ASSERT_GT(total, 10);
    RecordProperty("allocations", static_cast<int>(total));
    for (long long n = 0; n < total; ++n) {
      SCOPED_TRACE(n); // the allocation that fails
      Arrange(managerRefused);
      allocationsBeforeFailure = n;
      EXPECT_EQ(mdlMain::Main(), kExitNotEnoughMemory);
      allocationsBeforeFailure = -1;
      const std::vector<in_memory::EventEntry> &entries = world().entries;
      ASSERT_FALSE(entries.empty());
      EXPECT_EQ(entries.back().eventId, 102u);
      EXPECT_EQ(entries.back().strings.at(0).rfind("Out of memory", 0), 0u);
      EXPECT_LE(entries.size(), 2u);
      ExpectNothingOutstanding();
    }
  }
};

TEST_F(OutOfMemoryTest, EveryFailedAllocationOfAnAcceptedRunEndsIn102) {
  ExpectEveryFailureEndsIn102(false);
}

TEST_F(OutOfMemoryTest, EveryFailedAllocationAfterARefusedManagerEndsIn102) {
  ExpectEveryFailureEndsIn102(true);
}

TEST(OutOfMemory, AddThatRunsOutOfMemoryLeavesTheCollectionAsItWas) {
  for (long long n = 0;; ++n) {
    CommandLineOptions options;
    options.Add(u"a", u"", u"a");
    allocationsBeforeFailure = n; // the option, its index node, the members growing
    try {
      options.Add(u"b", u"", u"b");
      allocationsBeforeFailure = -1; // n lies past the last allocation of Add
      EXPECT_EQ(options.Count(), 2);
      break;
    } catch (const std::bad_alloc &) { // the planned failure, which ends the plan
    }
    SCOPED_TRACE(n); // the allocation that failed
    EXPECT_EQ(options.Count(), 1);
    EXPECT_THROW(options.Item(u"b"), Failure); // the index kept in step
    options.Add(u"b", u"", u"b");              // and the key is free again
    EXPECT_EQ(options.Count(), 2);
  }
}

} // namespace
} // namespace morex
