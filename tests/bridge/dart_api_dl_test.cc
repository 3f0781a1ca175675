// Binding of the Dart API from the VM's data block.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "dart_api_dl.h"
#include "dart_vm_standin.h"
#include "norvale.h"
#include "scenario.h"

namespace {

using norvale_test::run_scenario;

using Fn = void (*)(void);

struct Binding {
  const char* name;
  Fn (*get)();
};

// The 38 looked-up variables, in lookup order.
#define BINDING_ENTRY(name, result, args) \
  {#name, [] { return reinterpret_cast<Fn>(name##_DL); }},
const std::vector<Binding> kLookedUp = {NORVALE_DART_DL_FUNCTIONS(BINDING_ENTRY)};
#undef BINDING_ENTRY

Fn update_external_size() { return reinterpret_cast<Fn>(Dart_UpdateExternalSize_DL); }
Fn update_finalizable_size() {
  return reinterpret_cast<Fn>(Dart_UpdateFinalizableExternalSize_DL);
}

// Distinct addresses to recognise which entry a variable was bound from.
Fn address(int i) {
  static char marks[256];
  return reinterpret_cast<Fn>(&marks[i]);
}

struct Table {
  std::vector<std::string> names;
  std::vector<standin_dart_api_entry> entries;
  standin_dart_api_data block{};

  explicit Table(std::vector<std::string> n, int32_t major = 2) : names(std::move(n)) {
    for (size_t i = 0; i < names.size(); ++i) {
      entries.push_back({names[i].c_str(), address(static_cast<int>(i))});
    }
    entries.push_back({nullptr, nullptr});
    block = {major, 7, entries.data()};
  }
  intptr_t bind() { return Dart_InitializeApiDL(&block); }
};

std::vector<std::string> all_names() {
  std::vector<std::string> names;
  for (const Binding& b : kLookedUp) names.push_back(b.name);
  return names;
}

void expect_stubs_bound() {
  EXPECT_EQ(update_external_size(), reinterpret_cast<Fn>(Dart_UpdateExternalSize_Deprecated));
  EXPECT_EQ(update_finalizable_size(),
            reinterpret_cast<Fn>(Dart_UpdateFinalizableExternalSize_Deprecated));
}

TEST(DartApiBinding, FullTableBindsEveryNameToItsOwnEntry) {
  ASSERT_EQ(kLookedUp.size(), 38u);
  Table table(all_names());
  ASSERT_EQ(table.bind(), 0);
  for (size_t i = 0; i < kLookedUp.size(); ++i) {
    EXPECT_EQ(kLookedUp[i].get(), address(static_cast<int>(i))) << kLookedUp[i].name;
  }
  expect_stubs_bound();
}

TEST(DartApiBinding, MissingNamesBindToNullAndRebindingResetsThem) {
  Table full(all_names());
  ASSERT_EQ(full.bind(), 0);
  Table partial({"Dart_PostCObject", "Dart_PostInteger"});
  ASSERT_EQ(partial.bind(), 0);
  for (const Binding& b : kLookedUp) {
    std::string name = b.name;
    if (name == "Dart_PostCObject") {
      EXPECT_EQ(b.get(), address(0));
    } else if (name == "Dart_PostInteger") {
      EXPECT_EQ(b.get(), address(1));
    } else {
      EXPECT_EQ(b.get(), nullptr) << name;
    }
  }
  expect_stubs_bound();
}

TEST(DartApiBinding, EmptyTableLeavesOnlyTheStubs) {
  Table full(all_names());
  ASSERT_EQ(full.bind(), 0);
  Table empty({});
  ASSERT_EQ(empty.bind(), 0);
  for (const Binding& b : kLookedUp) EXPECT_EQ(b.get(), nullptr) << b.name;
  expect_stubs_bound();
}

TEST(DartApiBinding, NamesMatchExactlyNeverByPrefix) {
  Table only_post({"Dart_Post"});
  ASSERT_EQ(only_post.bind(), 0);
  EXPECT_EQ(reinterpret_cast<Fn>(Dart_Post_DL), address(0));
  EXPECT_EQ(Dart_PostCObject_DL, nullptr);
  EXPECT_EQ(Dart_PostInteger_DL, nullptr);

  Table longer({"Dart_PostCObject", "Dart_PostInteger", "Dart_PostX", "Dart_Pos"});
  ASSERT_EQ(longer.bind(), 0);
  EXPECT_EQ(Dart_Post_DL, nullptr);
  EXPECT_EQ(reinterpret_cast<Fn>(Dart_PostCObject_DL), address(0));
}

TEST(DartApiBinding, EarlierOfTwoEntriesWithTheSameNameWins) {
  Table twice({"Dart_Null", "Dart_Null"});
  ASSERT_EQ(twice.bind(), 0);
  EXPECT_EQ(reinterpret_cast<Fn>(Dart_Null_DL), address(0));
}

TEST(DartApiBinding, OtherMajorVersionsAndNullAreRefusedWithoutChange) {
  Table full(all_names());
  ASSERT_EQ(full.bind(), 0);
  for (int32_t major : {0, 1, 3, -2}) {
    Table other({}, major);
    EXPECT_EQ(other.bind(), -1) << major;
    EXPECT_EQ(Norvale_InitDartApiDL(&other.block), -1) << major;
  }
  EXPECT_EQ(Dart_InitializeApiDL(nullptr), -1);
  EXPECT_EQ(Norvale_InitDartApiDL(nullptr), -1);
  for (size_t i = 0; i < kLookedUp.size(); ++i) {
    EXPECT_EQ(kLookedUp[i].get(), address(static_cast<int>(i))) << kLookedUp[i].name;
  }
}

TEST(DartApiBinding, NorvaleEntryForwardsTheResult) {
  Table table({"Dart_PostInteger"});
  EXPECT_EQ(Norvale_InitDartApiDL(&table.block), 0);
  EXPECT_EQ(reinterpret_cast<Fn>(Dart_PostInteger_DL), address(0));
  EXPECT_EQ(Norvale_InitDartApiDL(standin_dart_vm_api_dl_data()), 0);
  EXPECT_NE(Dart_NewNativePort_DL, nullptr);
}

NORVALE_SCENARIO(refused_before_first_binding) {
  Table other({"Dart_PostCObject"}, 1);
  SCENARIO_CHECK(other.bind() == -1);
  for (const Binding& b : kLookedUp) SCENARIO_CHECK(b.get() == nullptr);
  SCENARIO_CHECK(update_external_size() == nullptr && update_finalizable_size() == nullptr);
  return 0;
}

TEST(DartApiBinding, RefusedBlockBeforeAnyBindingLeavesAllNull) {
  auto result = run_scenario("refused_before_first_binding");
  EXPECT_EQ(result.exit_code(), 0) << result.err;
  EXPECT_EQ(result.out, "");
}

NORVALE_SCENARIO(call_stubs) {
  Table empty({});
  SCENARIO_CHECK(empty.bind() == 0);
  Dart_UpdateExternalSize_DL(nullptr, 10);
  Dart_UpdateFinalizableExternalSize_DL(nullptr, nullptr, 10);
  return 0;
}

TEST(DartApiBinding, DeprecatedStubsWriteTheirLineToStandardOutput) {
  auto result = run_scenario("call_stubs");
  EXPECT_EQ(result.exit_code(), 0) << result.err;
  EXPECT_EQ(result.out,
            "Dart_UpdateExternalSize is a nop, it has been deprecated\n"
            "Dart_UpdateFinalizableExternalSize is a nop, it has been deprecated\n");
  EXPECT_EQ(result.err, "");
}

}  // namespace
