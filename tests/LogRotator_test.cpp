#include "LogRotator.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>

#include "TestUtil.h"
#include "platform.h"

using testutil::fileExists;
using testutil::readFile;
using testutil::writeFile;

namespace {

// 5 March 2008, 14:07 local time: the rotator's clock in most tests.
const time_t kMarch5 = testutil::localTimeOf(2008, 3, 5, 14, 7, 0);

class LogRotatorTest : public testutil::TempDirTest {
  protected:
    testutil::FakeClock clock{kMarch5};
    std::string logDir = dir.path() + "/192.168.0.5/";

    std::unique_ptr<LogRotator> make(int limit, bool raw = true) {
        return std::make_unique<LogRotator>(logDir.c_str(), limit, raw);
    }
    std::string file(const std::string& date, int n) const {
        return logDir + "log" + date + "." + std::to_string(n) + ".csv";
    }
    std::string today(int n) const { return file("05032008", n); }
    // A raw entry whose line (text + CR LF) is exactly `bytes` long.
    static void addRawLine(LogRotator& r, size_t bytes, char fill = 'x') {
        r.addEntry("ignored", "192.168.0.5", std::string(bytes - 2, fill));
    }
    // Runs a due pass: moves the clock past the interval first.
    std::string pass(LogRotator& r) {
        clock.advance(61);
        testutil::StdoutCapture out;
        r.TimelyFileWrite();
        return out.take();
    }
    void makeDir() { ASSERT_EQ(platform::makeDirectories(logDir), 0); }
};

TEST_F(LogRotatorTest, CreatesItsDirectoryWithParentsAndStartsFileZero) {
    logDir = dir.path() + "/a/b/c/";
    auto r = make(1000);
    EXPECT_TRUE(platform::pathStatus(logDir).isDirectory);
    EXPECT_EQ(r->currentFileName(), today(0));
    EXPECT_TRUE(fileExists(today(0)));
    EXPECT_EQ(r->currentFileSize(), 0);
}

TEST_F(LogRotatorTest, ContinuesTodaysHighestNumberWithItsSizeOnDisk) {
    makeDir();
    writeFile(today(0), "a");
    writeFile(today(2), "bb");
    writeFile(today(10), "0123456789");
    writeFile(file("04032008", 99), "yesterday");
    writeFile(logDir + "xlog05032008.50.csv",
              "");  // prefix not at the start: number read from ".50" -> 0
    auto r = make(1000);
    EXPECT_EQ(r->getLatestLogFile(), 10);
    EXPECT_EQ(r->currentFileName(), today(10));
    EXPECT_EQ(r->currentFileSize(), 10);
    r->addEntry("", "", "more");
    pass(*r);
    EXPECT_EQ(readFile(today(10)), "0123456789more\r\n");
}

TEST_F(LogRotatorTest, LatestFileNumberFromNames) {
    makeDir();
    for (const char* name : {"log05032008.csv", "log05032008.x.csv", "log05032008.7.csv.gz",
                             "log05032008.3", "other.txt", "log05032008."}) {
        writeFile(logDir + name, "");
    }
    // An archive bearing today's prefix counts; the rest give no number or 0.
    EXPECT_EQ(make(1000)->getLatestLogFile(), 7);
}

TEST_F(LogRotatorTest, TheWorkedExampleOfTheCut) {
    // Limit 1000, file 4 holding 900 bytes, 2500 buffered: 100, 1000, 1000 and 400 bytes.
    makeDir();
    writeFile(today(4), std::string(900, 'o'));
    auto r = make(1000);
    addRawLine(*r, 2500);
    std::string trace = pass(*r);
    EXPECT_EQ(trace, today(4) + "  2500  ][  900\n");
    EXPECT_EQ(readFile(today(4)).size(), 1000u);
    EXPECT_EQ(readFile(today(5)).size(), 1000u);
    EXPECT_EQ(readFile(today(6)).size(), 1000u);
    EXPECT_EQ(readFile(today(7)).size(), 400u);
    EXPECT_EQ(r->currentFileName(), today(7));
    EXPECT_EQ(r->currentFileSize(), 400);
    EXPECT_EQ(r->bufferedBytes(), 0u);
    // Concatenated in number order the files give the exact stream.
    std::string all =
        readFile(today(4)) + readFile(today(5)) + readFile(today(6)) + readFile(today(7));
    EXPECT_EQ(all, std::string(900, 'o') + std::string(2498, 'x') + "\r\n");
}

TEST_F(LogRotatorTest, CutFallsBetweenCarriageReturnAndLineFeed) {
    // Limit 1000, count 900, 250 buffered: file N completed with 100 bytes, N+1 gets 150.
    makeDir();
    writeFile(today(0), std::string(900, 'o'));
    auto r = make(1000);
    addRawLine(*r, 101, 'a');  // 99 'a' + CR | LF
    addRawLine(*r, 149, 'b');
    pass(*r);
    std::string first = readFile(today(0));
    ASSERT_EQ(first.size(), 1000u);
    EXPECT_EQ(first.back(), '\r');
    std::string second = readFile(today(1));
    EXPECT_EQ(second.size(), 150u);
    EXPECT_EQ(second.front(), '\n');
    EXPECT_EQ(r->currentFileSize(), 150);
}

TEST_F(LogRotatorTest, AFileAlreadyOverTheLimitReceivesNothingMore) {
    makeDir();
    writeFile(today(0), std::string(1500, 'o'));
    auto r = make(1000);
    EXPECT_TRUE(r->isIfMaxFileSizeReached());
    addRawLine(*r, 10);
    pass(*r);
    EXPECT_EQ(readFile(today(0)).size(), 1500u);
    EXPECT_EQ(readFile(today(1)), std::string(8, 'x') + "\r\n");
}

TEST_F(LogRotatorTest, AFileFilledExactlyStaysCurrentUntilTheNextPass) {
    auto r = make(1000);
    addRawLine(*r, 1000);
    pass(*r);
    EXPECT_EQ(r->currentFileName(), today(0));
    EXPECT_EQ(r->currentFileSize(), 1000);
    addRawLine(*r, 10);
    pass(*r);
    EXPECT_EQ(readFile(today(0)).size(), 1000u);
    EXPECT_EQ(readFile(today(1)).size(), 10u);
}

TEST_F(LogRotatorTest, WritesOutWhenTheBufferExceedsTheLimitNotWhenItEqualsIt) {
    auto r = make(1000);
    addRawLine(*r, 1000);
    addRawLine(*r, 10);  // finds exactly 1000: only appended
    EXPECT_EQ(readFile(today(0)), "");
    EXPECT_EQ(r->bufferedBytes(), 1010u);
    addRawLine(*r, 20);  // finds 1010: the whole buffer goes into file 0, uncut
    EXPECT_EQ(readFile(today(0)).size(), 1010u);
    EXPECT_EQ(r->currentFileName(), today(1));
    EXPECT_TRUE(fileExists(today(1)));
    EXPECT_EQ(r->bufferedBytes(), 20u);
    // The write-out restarts the interval.
    clock.advance(60);
    r->TimelyFileWrite();
    EXPECT_EQ(r->bufferedBytes(), 20u);
}

TEST_F(LogRotatorTest, PassIsDueOnlyAfterMoreThanSixtySeconds) {
    auto r = make(1000, false);
    r->addEntry("ignored stamp", "192.168.0.5", "kernel: eth0 link up");
    clock.advance(60);
    {
        testutil::StdoutCapture out;
        r->TimelyFileWrite();
        EXPECT_EQ(out.take(), "");
    }
    EXPECT_EQ(readFile(today(0)), "");
    clock.advance(1);
    {
        testutil::StdoutCapture out;
        r->TimelyFileWrite();
        EXPECT_EQ(out.take(), today(0) + "  51  ][  0\n");
    }
    EXPECT_EQ(readFile(today(0)), "05-03-2008;14:07;192.168.0.5;kernel: eth0 link up\r\n");
}

TEST_F(LogRotatorTest, AnEmptyPassPrintsItsTraceAndRestartsTheInterval) {
    auto r = make(1000);
    EXPECT_EQ(pass(*r), today(0) + "  0  ][  0\n");
    EXPECT_EQ(readFile(today(0)), "");
    clock.advance(60);
    r->addEntry("", "", "x");
    {
        testutil::StdoutCapture out;
        r->TimelyFileWrite();
        EXPECT_EQ(out.take(), "");
    }
}

TEST_F(LogRotatorTest, ALimitOfZeroCountsAsOneByte) {
    auto r = make(0);
    r->addEntry("", "", "ab");  // "ab\r\n"
    pass(*r);
    for (int n = 0; n < 4; ++n) EXPECT_EQ(readFile(today(n)).size(), 1u) << n;
    EXPECT_EQ(readFile(today(0)) + readFile(today(1)) + readFile(today(2)) + readFile(today(3)),
              "ab\r\n");
}

TEST_F(LogRotatorTest, ANegativeLimitTakesOneNextFileStepAndNeverCuts) {
    auto r = make(-5);
    addRawLine(*r, 3000);
    addRawLine(*r, 3000);  // no write-out: the limit taken as unsigned is huge
    EXPECT_EQ(r->bufferedBytes(), 6000u);
    pass(*r);
    EXPECT_EQ(readFile(today(0)).size(), 0u);
    EXPECT_EQ(readFile(today(1)).size(), 6000u);
}

TEST_F(LogRotatorTest, CountsPastTwoGibibytesDoNotOverflow) {
    // A sparse file just over 2^31 bytes, taken over at construction with the largest limit.
    makeDir();
    writeFile(today(0), "");
    const int64_t big = (int64_t{1} << 31) + 100;
    ASSERT_EQ(truncate(today(0).c_str(), big), 0);
    auto r = make(2097151 * 1024);
    EXPECT_EQ(r->currentFileSize(), big);
    EXPECT_TRUE(r->isIfMaxFileSizeReached());
    addRawLine(*r, 10);
    pass(*r);
    EXPECT_EQ(platform::pathStatus(today(0)).size, big);
    EXPECT_EQ(readFile(today(1)).size(), 10u);
}

TEST_F(LogRotatorTest, FirstEntryOfANewDayClosesYesterdayAndStartsTodayAtZero) {
    clock.set(testutil::localTimeOf(2008, 3, 4, 23, 59, 0));
    auto r = make(1000, false);
    r->addEntry("", "10.0.0.7", "before midnight");
    pass(*r);  // 00:00:01 of 5 March: the pass still writes into the 4 March file
    EXPECT_EQ(readFile(file("04032008", 0)), "04-03-2008;23:59;10.0.0.7;before midnight\r\n");
    r->addEntry("", "10.0.0.7", "after midnight");
    EXPECT_EQ(r->currentFileName(), today(0));
    pass(*r);
    EXPECT_EQ(readFile(today(0)), "05-03-2008;00:00;10.0.0.7;after midnight\r\n");
    // Yesterday's file was archived by the roll-over.
    EXPECT_FALSE(fileExists(file("04032008", 0)));
    EXPECT_EQ(testutil::gunzipFile(file("04032008", 0) + ".gz"),
              "04-03-2008;23:59;10.0.0.7;before midnight\r\n");
}

TEST_F(LogRotatorTest, LinesBufferedBeforeMidnightGoIntoTheNewDaysFile) {
    clock.set(testutil::localTimeOf(2008, 3, 4, 23, 59, 30));
    auto r = make(1000);
    r->addEntry("", "", "late");
    clock.set(kMarch5);
    r->addEntry("", "", "early");
    pass(*r);
    EXPECT_EQ(readFile(today(0)), "late\r\nearly\r\n");
}

TEST_F(LogRotatorTest, ANextFileStepAfterMidnightCarriesTheNewDateAndTheRollOverContinuesIt) {
    clock.set(testutil::localTimeOf(2008, 3, 4, 23, 58, 0));
    auto r = make(100);
    addRawLine(*r, 150);
    pass(*r);  // 23:59:01 of 4 March: 100 bytes into 04032008.0, 50 into 04032008.1
    EXPECT_EQ(readFile(file("04032008", 0)).size(), 100u);
    EXPECT_EQ(readFile(file("04032008", 1)).size(), 50u);
    addRawLine(*r, 80);
    clock.set(kMarch5 - 14 * 3600);  // 00:07 of 5 March; no entry yet, so no roll-over
    pass(*r);  // 50 + 80 > 100: file 1 is completed, and the next step carries the new date
    EXPECT_EQ(readFile(file("04032008", 1)).size(), 100u);
    EXPECT_EQ(readFile(today(2)).size(), 30u);
    // The first entry of the new day continues today's file 2, with its size as the count.
    r->addEntry("", "", "new day");
    EXPECT_EQ(r->currentFileName(), today(2));
    EXPECT_EQ(r->currentFileSize(), 30);
}

TEST_F(LogRotatorTest, ADirectoryThatCannotBeListedIsReportedToTheCaller) {
    platform::hooks().listDirectory = [](const std::string&, std::vector<std::string>&) {
        return EACCES;
    };
    try {
        make(1000);
        ADD_FAILURE() << "no exception";
    } catch (const DirectoryListError& e) {
        EXPECT_EQ(e.code(), EACCES);
    }
    platform::hooks().listDirectory = nullptr;
}

TEST_F(LogRotatorTest, FilesAndDirectoriesAreNotWorldReadable) {
    mode_t old = umask(022);
    auto r = make(1000);
    umask(old);
    struct stat sb;
    ASSERT_EQ(stat(logDir.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0750u);
    ASSERT_EQ(stat(today(0).c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0640u);
}

TEST_F(LogRotatorTest, AnExistingFileKeepsItsMode) {
    makeDir();
    writeFile(today(0), "old\r\n");
    chmod(today(0).c_str(), 0604);
    auto r = make(1000);
    r->addEntry("", "", "new");
    pass(*r);
    struct stat sb;
    ASSERT_EQ(stat(today(0).c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0604u);
}

// The current file as a link to /dev/full: every write fails with ENOSPC.
class FailingDiskTest : public LogRotatorTest {
  protected:
    void failCurrent(const LogRotator& r) {
        unlink(r.currentFileName().c_str());
        ASSERT_EQ(symlink("/dev/full", r.currentFileName().c_str()), 0);
    }
    void heal(const LogRotator& r) { ASSERT_EQ(unlink(r.currentFileName().c_str()), 0); }
};

TEST_F(FailingDiskTest, LinesThatCouldNotBeWrittenArriveOnceTheFileCanBeWritten) {
    auto r = make(1000);
    failCurrent(*r);
    r->addEntry("", "", "one");
    r->addEntry("", "", "two");
    {
        testutil::StderrCapture err;
        pass(*r);
        r->addEntry("", "", "three");
        pass(*r);
        std::string text = err.take();
        // One line for the whole run of failures, naming the file and the reason.
        EXPECT_EQ(text, "brindleaf: cannot write " + today(0) + ": No space left on device\n");
    }
    EXPECT_EQ(r->bufferedBytes(), 17u);
    EXPECT_EQ(r->currentFileSize(), 0);
    EXPECT_FALSE(fileExists(today(1)));  // no next-file step on a failed write
    heal(*r);
    testutil::StderrCapture err;
    pass(*r);
    EXPECT_NE(err.take().find("writing " + today(0) + " again"), std::string::npos);
    EXPECT_EQ(readFile(today(0)), "one\r\ntwo\r\nthree\r\n");
    EXPECT_EQ(r->bufferedBytes(), 0u);
}

TEST_F(FailingDiskTest, AFailedWriteOutKeepsTheLinesAndTheCut) {
    auto r = make(100);
    addRawLine(*r, 60);
    failCurrent(*r);
    {
        testutil::StderrCapture err;
        addRawLine(*r, 60);
        addRawLine(*r, 10);  // finds 120 > 100: the write-out fails
        addRawLine(*r, 10);  // the same second: not tried again
        EXPECT_EQ(err.take(),
                  "brindleaf: cannot write " + today(0) + ": No space left on device\n");
    }
    EXPECT_EQ(r->currentFileName(), today(0));
    heal(*r);
    testutil::StderrCapture err;
    pass(*r);
    // Byte-exact once writing works: 100 into file 0, the other 40 into file 1.
    EXPECT_EQ(readFile(today(0)).size(), 100u);
    EXPECT_EQ(readFile(today(1)).size(), 40u);
}

TEST_F(FailingDiskTest, PastTheMemoryBoundTheOldestLinesAreDroppedAndCounted) {
    LogRotator::setMemoryBound(1000);
    auto r = make(1000000);
    failCurrent(*r);
    std::string err;
    {
        testutil::StderrCapture capture;
        for (int i = 0; i < 300; ++i) {
            char text[32];
            std::snprintf(text, sizeof text, "line %03d", i);  // 10 bytes with CR LF
            r->addEntry("", "", text);
        }
        pass(*r);
        err = capture.take();
    }
    EXPECT_LE(LogRotator::unwrittenBytesOfAll(), 1000);
    EXPECT_NE(err.find("dropped"), std::string::npos) << err;
    heal(*r);
    {
        testutil::StderrCapture capture;
        pass(*r);
    }
    LogRotator::setMemoryBound(0);
    // What is kept is the newest lines, whole and in order.
    std::string kept = readFile(today(0));
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept.substr(kept.size() - 10), "line 299\r\n");
    EXPECT_EQ(kept.size() % 10, 0u);
    EXPECT_EQ(kept.substr(0, 5), "line ");
}

TEST_F(FailingDiskTest, FlushAllWritesEverythingWithTheNormalCuts) {
    auto r = make(100);
    for (int i = 0; i < 3; ++i) addRawLine(*r, 50);
    testutil::StdoutCapture out;
    EXPECT_TRUE(r->flushAll());
    EXPECT_EQ(readFile(today(0)).size(), 100u);
    EXPECT_EQ(readFile(today(1)).size(), 50u);
    failCurrent(*r);
    addRawLine(*r, 50);
    testutil::StderrCapture err;
    EXPECT_FALSE(r->flushAll());
    EXPECT_EQ(r->unwrittenLines(), 1u);
}

// Archiving at the first entry of a new day.
class ArchiveTest : public LogRotatorTest {
  protected:
    // A rotator made on 4 March whose first entry of 5 March triggers the roll-over.
    void rollOver() {
        clock.set(testutil::localTimeOf(2008, 3, 4, 22, 0, 0));
        auto r = make(1000);
        clock.set(kMarch5);
        r->addEntry("", "", "today");
    }
};

TEST_F(ArchiveTest, YesterdaysFilesBecomeGzipArchivesAndNothingElseIsTouched) {
    makeDir();
    const std::string yesterday[] = {"log04032008.0.csv",     "log04032008.1.csv",
                                     "log04032008.2.csv",     "log04032008.txt",
                                     "log04032008.0.csv.old", "old-log04032008.5.csv"};
    const std::string untouched[] = {"log05032008.0.csv", "log03032008.0.csv", "log04032007.0.csv",
                                     "log04032008.3.csv.gzip", "notes.gz.log04032008"};
    for (const std::string& name : yesterday) writeFile(logDir + name, "bytes of " + name + "\r\n");
    for (const std::string& name : untouched) writeFile(logDir + name, "keep " + name);
    ASSERT_EQ(mkdir((logDir + "log04032008.dir").c_str(), 0750), 0);
    // An archive of the same name is replaced.
    writeFile(logDir + "log04032008.1.csv.gz", "stale");

    testutil::StderrCapture err;  // the subdirectory cannot be archived: one line
    rollOver();
    err.take();

    for (const std::string& name : yesterday) {
        EXPECT_FALSE(fileExists(logDir + name)) << name;
        EXPECT_EQ(testutil::gunzipFile(logDir + name + ".gz"), "bytes of " + name + "\r\n");
    }
    for (const std::string& name : untouched) {
        EXPECT_EQ(readFile(logDir + name), "keep " + name) << name;
    }
    EXPECT_TRUE(platform::pathStatus(logDir + "log04032008.dir").isDirectory);
    EXPECT_FALSE(fileExists(logDir + "log04032008.dir.gz"));
}

TEST_F(ArchiveTest, AFailingArchiveLeavesTheLogFileInPlace) {
    makeDir();
    writeFile(logDir + "log04032008.0.csv", "precious\r\n");
    writeFile(logDir + "log04032008.1.csv", "also precious\r\n");
    // The archive of file 0 is written under a temporary name first: make it a full disk.
    ASSERT_EQ(symlink("/dev/full", (logDir + "log04032008.0.csv.gz.tmp").c_str()), 0);
    testutil::StderrCapture err;
    rollOver();
    std::string text = err.take();
    EXPECT_EQ(readFile(logDir + "log04032008.0.csv"), "precious\r\n");
    EXPECT_FALSE(fileExists(logDir + "log04032008.0.csv.gz"));
    EXPECT_FALSE(fileExists(logDir + "log04032008.0.csv.gz.tmp"));
    EXPECT_NE(text.find("log04032008.0.csv"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    // The other file is archived all the same.
    EXPECT_EQ(testutil::gunzipFile(logDir + "log04032008.1.csv.gz"), "also precious\r\n");
}

TEST_F(ArchiveTest, TheDayAfterTheSwitchToSummerTimeArchivesYesterday) {
    const char* savedTz = std::getenv("TZ");
    std::string saved = savedTz ? savedTz : "";
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    makeDir();
    writeFile(logDir + "log30032008.0.csv", "sunday\r\n");
    clock.set(testutil::localTimeOf(2008, 3, 30, 23, 0, 0));
    auto r = make(1000);
    // 00:30 on 31 March is only 23.5 hours after the start of 30 March.
    clock.set(testutil::localTimeOf(2008, 3, 31, 0, 30, 0));
    r->addEntry("", "", "monday");
    EXPECT_FALSE(fileExists(logDir + "log30032008.0.csv"));
    EXPECT_EQ(testutil::gunzipFile(logDir + "log30032008.0.csv.gz"), "sunday\r\n");
    EXPECT_EQ(r->currentFileName(), file("31032008", 0));
    r.reset();
    if (savedTz) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

TEST_F(ArchiveTest, ADirectoryThatCannotBeListedAtTheRollOverIsReported) {
    clock.set(testutil::localTimeOf(2008, 3, 4, 22, 0, 0));
    auto r = make(1000);
    r->addEntry("", "", "buffered");
    clock.set(kMarch5);
    platform::hooks().listDirectory = [](const std::string&, std::vector<std::string>&) {
        return EIO;
    };
    EXPECT_THROW(r->addEntry("", "", "today"), DirectoryListError);
    platform::hooks().listDirectory = nullptr;
    EXPECT_EQ(r->bufferedBytes(), 10u);  // what was buffered is still there to be written
}

}  // namespace
