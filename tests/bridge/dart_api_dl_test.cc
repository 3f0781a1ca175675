// Binding of the Dart API from the VM's data block.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
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

// The functions of the current API (2.6), in the order of its data block.
// The binding looks up all but the two newest.
const std::vector<std::string> kCurrentApi = {
    "Dart_PostCObject", "Dart_PostInteger", "Dart_NewNativePort", "Dart_CloseNativePort",
    "Dart_IsError", "Dart_IsApiError", "Dart_IsUnhandledExceptionError",
    "Dart_IsCompilationError", "Dart_IsFatalError", "Dart_GetError", "Dart_ErrorHasException",
    "Dart_ErrorGetException", "Dart_ErrorGetStackTrace", "Dart_NewApiError",
    "Dart_NewCompilationError", "Dart_NewUnhandledExceptionError", "Dart_PropagateError",
    "Dart_HandleFromPersistent", "Dart_HandleFromWeakPersistent", "Dart_NewPersistentHandle",
    "Dart_SetPersistentHandle", "Dart_DeletePersistentHandle", "Dart_NewWeakPersistentHandle",
    "Dart_DeleteWeakPersistentHandle", "Dart_NewFinalizableHandle",
    "Dart_DeleteFinalizableHandle", "Dart_CurrentIsolate", "Dart_ExitIsolate",
    "Dart_EnterIsolate", "Dart_Post", "Dart_NewSendPort", "Dart_NewSendPortEx",
    "Dart_SendPortGetId", "Dart_SendPortGetIdEx", "Dart_EnterScope", "Dart_ExitScope",
    "Dart_IsNull", "Dart_Null", "Dart_GetMainPortId", "Dart_GetCurrentThreadOwnsIsolate"};
const std::vector<std::string> kNotLookedUp = {"Dart_GetMainPortId",
                                               "Dart_GetCurrentThreadOwnsIsolate"};

TEST(DartApiBinding, StandInVmBlockCarriesTheCurrentApiAndTheBindingFindsItsNamesThere) {
  const auto* block = static_cast<const standin_dart_api_data*>(standin_dart_vm_api_dl_data());
  EXPECT_EQ(block->major, 2);
  EXPECT_EQ(block->minor, 6);
  std::vector<std::string> names;
  for (const standin_dart_api_entry* e = block->functions; e->name != nullptr; ++e) {
    names.push_back(e->name);
    // Each entry is the VM's own exported function of that name.
    EXPECT_EQ(reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, e->name)), e->function) << e->name;
  }
  EXPECT_EQ(names, kCurrentApi);

  ASSERT_EQ(Norvale_InitDartApiDL(standin_dart_vm_api_dl_data()), 0);
  std::vector<std::string> looked_up = all_names();
  for (const Binding& b : kLookedUp) {
    Fn exported = reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, b.name));
    EXPECT_NE(exported, nullptr) << b.name;
    EXPECT_EQ(b.get(), exported) << b.name;
  }
  for (const std::string& name : kNotLookedUp) {
    EXPECT_EQ(std::count(looked_up.begin(), looked_up.end(), name), 0) << name;
  }
  std::vector<std::string> current_without_newest = kCurrentApi;
  current_without_newest.resize(current_without_newest.size() - kNotLookedUp.size());
  EXPECT_EQ(looked_up, current_without_newest);
  expect_stubs_bound();
}

TEST(DartApiBinding, NamesItDoesNotKnowArePassedOverWhereverTheyStand) {
  std::vector<std::string> names = all_names();
  names.insert(names.begin(), kNotLookedUp[0]);
  names.insert(names.begin() + 20, "Dart_SomethingNewer");
  names.push_back(kNotLookedUp[1]);
  Table table(names);
  ASSERT_EQ(table.bind(), 0);
  for (const Binding& b : kLookedUp) {
    auto at = std::find(names.begin(), names.end(), b.name) - names.begin();
    EXPECT_EQ(b.get(), address(static_cast<int>(at))) << b.name;
  }
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
