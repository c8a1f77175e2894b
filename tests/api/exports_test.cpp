#include <gtest/gtest.h>
#include <hvpelk/loader.h>

namespace {

// Each test loads its own copy of the DLL, so the connection table starts empty and handle numbers are
// those of a fresh process; unloading it tears down whatever the test left open.
class Exports : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pelk.Loaded()); }

  int32_t Open(const wchar_t* locale = L"en-US", int32_t flags = 0) {
    int32_t handle = -7;
    EXPECT_EQ(PELK_S_OK, pelk.PelkOpen(L"Setup", L"1.0", L"Wrapper", L"2.0", locale, flags, &handle));
    return handle;
  }

  hvpelk::Library pelk;
};

TEST_F(Exports, HandlesCountFromOneAndAreNeverReused) {
  EXPECT_EQ(1, Open());
  EXPECT_EQ(2, Open());
  EXPECT_EQ(3, Open());
  EXPECT_EQ(PELK_S_OK, pelk.PelkClose(2));
  EXPECT_EQ(4, Open());

  for (int32_t bad : {0, -1, 5, 2}) {
    int32_t count = 12345;
    EXPECT_EQ(PELK_E_INVALID_HANDLE, pelk.PelkGetDistCount(bad, &count)) << bad;
    EXPECT_EQ(12345, count) << "out-parameter written for handle " << bad;
    EXPECT_EQ(PELK_E_INVALID_HANDLE, pelk.PelkSetParentWindow(bad, 0)) << bad;
    EXPECT_EQ(PELK_E_INVALID_HANDLE, pelk.PelkQueryCancel(bad)) << bad;
  }
  int32_t count = -1;
  EXPECT_EQ(PELK_S_OK, pelk.PelkGetDistCount(4, &count));
  EXPECT_EQ(0, count);
}

TEST_F(Exports, CloseAcceptsNonPositiveAndClosedHandlesButNotUnissuedOnes) {
  const int32_t handle = Open();
  EXPECT_EQ(PELK_S_OK, pelk.PelkClose(0));
  EXPECT_EQ(PELK_S_OK, pelk.PelkClose(-5));
  EXPECT_EQ(PELK_E_UNEXPECTED, pelk.PelkClose(handle + 1));
  EXPECT_EQ(PELK_S_OK, pelk.PelkClose(handle));
  EXPECT_EQ(PELK_S_OK, pelk.PelkClose(handle));
  int32_t count = 9;
  EXPECT_EQ(PELK_E_INVALID_HANDLE, pelk.PelkGetDistCount(handle, &count));
  EXPECT_EQ(9, count);
}

TEST_F(Exports, NullArgumentsAreRejectedWithoutWritingAnything) {
  EXPECT_EQ(PELK_E_UNEXPECTED, pelk.PelkOpen(L"a", L"b", L"c", L"d", L"e", 0, nullptr));
  int32_t handle = 77;
  EXPECT_EQ(PELK_E_UNEXPECTED, pelk.PelkOpen(L"a", nullptr, L"c", L"d", L"e", 0, &handle));
  EXPECT_EQ(0, handle);
  EXPECT_EQ(PELK_E_UNEXPECTED, pelk.PelkOpen(L"a", L"b", L"c", L"d", nullptr, 0, &handle));
  EXPECT_EQ(0, handle);

  // The failed opens issued no handle: the next one is still 1.
  handle = Open();
  EXPECT_EQ(1, handle);
  EXPECT_EQ(PELK_E_UNEXPECTED, pelk.PelkGetDistCount(handle, nullptr));
  EXPECT_EQ(PELK_E_UNEXPECTED, pelk.PelkGetDistChecksum(handle, 0, nullptr));
  EXPECT_EQ(PELK_E_UNEXPECTED, pelk.PelkGetDistDownloadSize(handle, 0, nullptr));
  EXPECT_EQ(PELK_E_UNEXPECTED, pelk.PelkSetDistPackageGuid(handle, nullptr));
  EXPECT_EQ(PELK_E_UNEXPECTED, pelk.PelkSetDistGuidAndVersion(handle, L"g", nullptr, L"v"));
  EXPECT_EQ(PELK_E_UNEXPECTED, pelk.PelkDownloadSubmit(handle, 0, nullptr));
  uint64_t a = 0, b = 0;
  EXPECT_EQ(PELK_E_UNEXPECTED, pelk.PelkDownloadCheck(handle, 0, &a, &b, nullptr));
}

TEST_F(Exports, GettersRejectIndicesOutsideTheListAndLeaveTheOutputAlone) {
  const int32_t handle = Open();
  VARIANT text;
  VariantInit(&text);
  V_VT(&text) = VT_I4;
  V_I4(&text) = 42;
  uint64_t size = 5;
  for (int32_t index : {-1, 0, 1}) {
    EXPECT_EQ(PELK_E_BAD_INDEX, pelk.PelkGetDistChecksum(handle, index, &text));
    EXPECT_EQ(PELK_E_BAD_INDEX, pelk.PelkGetContentId(handle, index, &text));
    EXPECT_EQ(PELK_E_BAD_INDEX, pelk.PelkGetDistDownloadSize(handle, index, &size));
  }
  EXPECT_EQ(VT_I4, V_VT(&text));
  EXPECT_EQ(42, V_I4(&text));
  EXPECT_EQ(5u, size);
}

TEST(ExportsUnload, UnloadingClosesOpenConnectionsAndReloadingStartsAfresh) {
  for (int round = 0; round < 2; ++round) {
    hvpelk::Library pelk;
    ASSERT_TRUE(pelk.Loaded());
    int32_t handle = 0;
    ASSERT_EQ(PELK_S_OK, pelk.PelkOpen(L"a", L"1", L"", L"", L"", 0, &handle));
    EXPECT_EQ(1, handle) << "round " << round;
  }
}

}  // namespace
