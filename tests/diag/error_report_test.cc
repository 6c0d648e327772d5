#include <cerrno>

#include "diag/activity_log.h"
#include "diag/error_report.h"
#include "log_fixture.h"
#include "platform/errors.h"
#include "platform/lang.h"
#include "platform/text_ids.h"

namespace km {
namespace {

using test::LogTest;

TEST_F(LogTest, ASystemErrorWithoutAPathShowsTheSystemTextAlone) {
  size_t before = notifier_.notifier().count();
  errno = ECONNREFUSED;
  reportSystemError("", nullptr);
  ASSERT_EQ(notifier_.notifier().count(), before + 1);
  Notice shown = notifier_.notifier().notices().back();
  EXPECT_EQ(shown.text, errorText(ECONNREFUSED));
  EXPECT_EQ(shown.title, languageText(kTextReportTitle));
  EXPECT_EQ(shown.icon, NoticeIcon::Exclamation);
  // The same pair is in the main log, at level 0.
  EXPECT_NE(mainLog().find(shown.title + ": " + shown.text), std::string::npos);
}

TEST_F(LogTest, ASystemErrorWithAPathNamesNumberPathAndText) {
  errno = ENOENT;
  reportSystemError("/data/blist_ip.dat", nullptr);
  Notice shown = notifier_.notifier().notices().back();
  EXPECT_EQ(shown.text, "Error " + std::to_string(ENOENT) +
                            " with file \"/data/blist_ip.dat\": " + errorText(ENOENT));
}

TEST_F(LogTest, AReportForASessionGoesToThatSessionsLog) {
  SessionLog log;
  startSessionLog(log, *AcquireConfig());
  errno = EACCES;
  reportSystemError("/x", &log);
  EXPECT_FALSE(fileExists(data_.file("log.txt"))) << "not yet: the session's block comes whole";
  endSessionLog(log);
  EXPECT_NE(mainLog().find("\"/x\""), std::string::npos);
}

TEST_F(LogTest, ARuntimeErrorIsShownWithTheStopIconThenLogged) {
  errno = ENOSPC;
  reportRuntimeError("", nullptr);
  Notice shown = notifier_.notifier().notices().back();
  EXPECT_EQ(shown.icon, NoticeIcon::Stop);
  EXPECT_EQ(shown.text, errorText(ENOSPC) + " (file: \"unknown\")");
  EXPECT_NE(mainLog().find(shown.text), std::string::npos);
}

} // namespace
} // namespace km
