// The document-root containment on Windows: paths resolved by the Win32
// backend and compared with backslash separators, drive roots included.
#include <gtest/gtest.h>

#include <string>

#include "http/Http.h"
#include "platform/platform.h"

namespace {

// Whether a document path built from the root and a URI stays inside it.
bool Inside(const std::string &root, const std::string &uri) {
  std::string path = root + uri;
  for (char &c : path)
    if (c == '/') c = PLAT_PATH_SEPARATOR;
  char full[PLAT_MAX_PATH], resolvedRoot[PLAT_MAX_PATH];
  uint32_t length = PlatFullPath(path.c_str(), full, sizeof full);
  uint32_t rootLength = PlatFullPath(root.c_str(), resolvedRoot, sizeof resolvedRoot);
  if (length == 0 || length >= sizeof full || rootLength == 0 || rootLength >= sizeof resolvedRoot)
    return false;
  return PathWithinRoot(full, resolvedRoot) != 0;
}

}  // namespace

TEST(ContainmentWin32, TraversalByEitherSeparatorIsRefused) {
  EXPECT_TRUE(Inside("C:\\www", "/index.html"));
  EXPECT_TRUE(Inside("C:\\www", "/docs/../a.txt"));
  EXPECT_TRUE(Inside("C:\\www", ""));
  EXPECT_FALSE(Inside("C:\\www", "/../secret.txt"));
  EXPECT_FALSE(Inside("C:\\www", "/..\\secret.txt"));  // a separator on Windows
  EXPECT_FALSE(Inside("C:\\www", "\\..\\..\\secret.txt"));
  EXPECT_FALSE(Inside("C:\\www", "/docs\\..\\..\\www2\\x.html"));  // shares the prefix
  EXPECT_FALSE(Inside("C:\\www", "2/x.html"));
  EXPECT_FALSE(Inside("C:\\www", "//..//..//secret.txt"));
  EXPECT_FALSE(Inside("C:\\www", "/../WWW-old/x.html"));
  // The name "..." resolves to "..", which the opening of the file would
  // take as the parent folder.
  EXPECT_FALSE(Inside("C:\\www", "/.../secret.txt"));
  EXPECT_FALSE(Inside("C:\\www", "\\docs\\...\\...\\secret.txt"));
}

TEST(ContainmentWin32, DriveRootAndTrailingSeparators) {
  EXPECT_TRUE(Inside("C:\\", "windows/win.ini"));
  EXPECT_TRUE(Inside("C:\\", "../../x"));  // ".." stops at the drive's root
  EXPECT_TRUE(Inside("C:\\www\\", "a.html"));
  EXPECT_FALSE(Inside("C:\\www\\", "../x"));
  EXPECT_FALSE(Inside("C:\\www", "/../../D:/x"));
  // A root written with "/" resolves to the same folder.
  EXPECT_TRUE(Inside("C:/www", "/a.html"));
  EXPECT_FALSE(Inside("C:/www", "/../a.html"));
}
