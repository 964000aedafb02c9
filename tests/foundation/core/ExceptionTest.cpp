#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "foundation/core/Exception.h"
#include "foundation/core/FatalError.h"
#include "foundation/core/SystemErrorText.h"
#include "platform/LastError.h"

using namespace Vel;

TEST(Exception, ConstructionAndDestructionKeepTheLastError) {
    Platform::SetLastError(1234);
    {
        Exception a("a");
        SystemException b("b");
        FileException c("x.pak");
        NetworkException d("http://h/", "");
        AbortException e;
        EXPECT_EQ(Platform::GetLastError(), 1234u);
    }
    EXPECT_EQ(Platform::GetLastError(), 1234u);
}

TEST(Exception, FileExceptionMessageWithTheFlagOff) {
    Platform::SetLastError(2);
    FileException e("a/b.pak", false);
    EXPECT_STREQ(e.what(), "FileException: a/b.pak System error: ");
}

TEST(Exception, NetworkExceptionTexts) {
    Platform::SetLastError(12029);
    NetworkException plain("http://h/x", "");
    EXPECT_EQ(plain.GetErrorText(), SystemErrorText(12029));
    EXPECT_EQ(plain.Message(), "NetworkException: http://h/x System error: " + SystemErrorText(12029));

    NetworkException detailed("http://h/x", "404 Not Found");
    EXPECT_EQ(detailed.GetErrorText(), "404 Not Found");
    EXPECT_EQ(detailed.Message(), plain.Message());
}

TEST(Exception, NoSystemTextForCodeZero) {
    Platform::SetLastError(0);
    SystemException e("x", true);
    EXPECT_EQ(e.GetErrorText(), "");
}

TEST(Exception, CurrentSlotFollowsTheNewestAndIsNotTouchedByOthers) {
    Exception first("first");
    EXPECT_EQ(Exception::Current(), &first);
    {
        Exception copy(first);  // copies do not take the slot
        EXPECT_EQ(Exception::Current(), &first);
    }
    EXPECT_EQ(Exception::Current(), &first);
}

TEST(SystemErrorText, FormatsKnownAndUnknownCodes) {
    EXPECT_EQ(SystemErrorText(12029),
              "A connection with the server could not be established (error code 12029)");
    EXPECT_EQ(SystemErrorText(12173), "(error code 12173)");
    EXPECT_EQ(SystemErrorText(2), "No such file or directory (error code 2)");
}

TEST(FatalError, CrashInfoLineIsCutToTheBufferAndTakesAnEmptyText) {
    SetCrashInfo(std::string_view());  // FatalError() passes this: no data pointer at all
    EXPECT_STREQ(GetCrashInfoLine(), "CrashInfo=\r\n");
    SetCrashInfo(std::string(5000, 'x'));
    const std::string line = GetCrashInfoLine();
    EXPECT_LT(line.size(), 1024u);
    EXPECT_EQ(line.substr(line.size() - 3), "x\r\n");
    SetCrashInfo("");
}

// Exit statuses are 8 bits: a fatal error ends with kFatalExitCode (1000 modulo 256), whether or
// not the crash handlers were installed first; a crash signal ends with 128 + its number, a
// breakpoint trap that is not a fatal error included.
TEST(FatalErrorDeathTest, FatalErrorsAndCrashSignalsEndWithTheirOwnStatus) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EQ(kFatalExitCode, 232);
    EXPECT_EXIT(
        {
            InstallCrashSignalHandlers();
            FatalError("broken lock");
        },
        ::testing::ExitedWithCode(232), "CrashInfo=broken lock");
    EXPECT_EXIT(FatalError("no handler yet"), ::testing::ExitedWithCode(232), "CrashInfo=no handler yet");

    for (int sig : {SIGTRAP, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) {
        SCOPED_TRACE(sig);
        EXPECT_EXIT(
            {
                InstallCrashSignalHandlers();
                SetCrashInfo("before the crash");
                ::raise(sig);
            },
            ::testing::ExitedWithCode(128 + sig),
            "Application has crashed. ExceptionAddr: [0-9]+\nCrashInfo=before the crash");
    }
}
