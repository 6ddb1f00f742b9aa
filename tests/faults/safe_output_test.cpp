// Whole runs whose outputs meet what can go wrong on a real machine: devices, links and FIFOs
// named as results, a signal in the middle of a save, two runs in one folder, memory running out. Every destination ends either as it
// was or complete, and nothing the run did not create is removed.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/whole_run.h"

namespace fs = std::filesystem;

namespace {

const std::string kScript = "Reference ref.bmp\nSource src.bmp out.bmp\nAngle -1 1 1\nTranslation 4 1\n";

// Whether dir holds a temporary file of a save; with remove, those files are removed.
bool hasTemporary(const fs::path& dir, bool remove = false) {
    bool found = false;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().string().find(".kalvorine-tmp") != std::string::npos) found = !remove || fs::remove(entry);
    return found;
}

void writeScene(const fs::path& at, int width, int height) {
    writeOwnedImage(at / "ref.bmp", syntheticFrame(width, height, 0, 0, -1));
    writeOwnedImage(at / "src.bmp", syntheticFrame(width, height, 0, 2, -1));
}

// Waits until ready() or a minute has passed.
template <typename F>
void waitFor(F ready) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!ready() && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

using SafeOutput = WholeRun<Program>;
INSTANTIATE_TEST_SUITE_P(Programs, SafeOutput, KAL_BOTH_PROGRAMS, programName);

// Destinations that are not regular files: a link is followed and stays a link; a device and
// a FIFO are written as streams and stay what they were.
TEST_P(SafeOutput, LinksDevicesAndFifosAsResults) {
    writeScene(dir.path, 96, 72);
    ASSERT_TRUE(runScript(kScript).exitedWith(0));
    const std::string expectedResult = readText(dir / "out.bmp");
    fs::remove(dir / "out.bmp");
    fs::create_directory(dir / "real");
    fs::create_symlink("real/target.bmp", dir / "out.bmp");
    ASSERT_TRUE(runScript(kScript).exitedWith(0));
    EXPECT_TRUE(fs::is_symlink(dir / "out.bmp") && readText(dir / "real" / "target.bmp") == expectedResult);
    fs::remove(dir / "out.bmp");

    ASSERT_EQ(mkfifo((dir / "out.bmp").c_str(), 0644), 0);
    std::string received;
    std::thread reader([&] { received = readText(dir / "out.bmp"); });
    const RunResult viaFifo = runScript(kScript);
    reader.join();
    EXPECT_TRUE(viaFifo.exitedWith(0) && viaFifo.out.find("image out.bmp FIN\n") != std::string::npos);
    EXPECT_TRUE(received == expectedResult && fs::is_fifo(dir / "out.bmp"));
    fs::remove(dir / "out.bmp");

    // A private node of the device that is always full (never the machine's own /dev/full).
    if (geteuid() != 0) GTEST_SKIP() << "making a device node needs root";
    ASSERT_EQ(mknod((dir / "out.bmp").c_str(), S_IFCHR | 0666, makedev(1, 7)), 0);
    const RunResult onDevice = runScript(kScript);
    EXPECT_TRUE(onDevice.exitedWith(0));
    EXPECT_NE(onDevice.out.find("image out.bmp ERREUR : ecriture incomplete"), std::string::npos);
    EXPECT_TRUE(fs::is_character_file(dir / "out.bmp"));
}

// SIGINT or SIGKILL while a large frame is saved over an earlier file: the destination holds
// the old bytes or the new ones, whole. SIGINT removes the temporary file; SIGKILL may leave
// it, under a name that says what it is.
TEST_P(SafeOutput, ASignalDuringASaveLeavesTheOldFileOrTheNewOneWhole) {
    writeScene(dir.path, 3000, 2000);
    ASSERT_TRUE(runScript("Reference ref.bmp\nSource src.bmp out.bmp\n").exitedWith(0));
    const std::string fresh = readText(dir / "out.bmp"), old = "an earlier result";
    for (const int signal : {SIGINT, SIGKILL}) {
        SCOPED_TRACE(signal);
        writeText(dir / "out.bmp", old);
        const pid_t pid = startProgram(program().path, {"script.txt"}, dir.path, dir / "console.txt");
        waitFor([&] { return hasTemporary(dir.path) || waitpid(pid, nullptr, WNOHANG) != 0; });
        kill(pid, signal);
        waitpid(pid, nullptr, 0);
        const std::string now = readText(dir / "out.bmp");
        EXPECT_TRUE(now == old || now == fresh) << now.size() << " bytes";
        if (signal == SIGINT) {
            EXPECT_FALSE(hasTemporary(dir.path));
        }
        hasTemporary(dir.path, true);
    }
}

// A second run in a folder that a run is working in stops at once, writing nothing; the
// first one's outputs are whole and its own.
TEST_P(SafeOutput, ASecondRunInTheSameFolderStopsBeforeWritingAnything) {
    TempDir alone;
    for (const fs::path& d : {dir.path, alone.path}) {
        writeScene(d, 2000, 1500);
        for (int i = 1; i <= 4; ++i) fs::copy_file(d / "src.bmp", d / ("src" + std::to_string(i) + ".bmp"));
        writeText(d / "script.txt", "Reference ref.bmp\nSourcesbmp src out 1 4\nCompositage sum.bmp\n");
    }
    ASSERT_TRUE(run({"script.txt"}, {}, alone.path).exitedWith(0));
    const pid_t first = startProgram(program().path, {"script.txt"}, dir.path, dir / "console.txt");
    waitFor([&] {
        return fs::exists(dir / "console.txt") &&
               readText(dir / "console.txt").find("Traitement de l'image 1") != std::string::npos;
    });
    const RunResult second = run({"script.txt"});
    int status = 0;
    waitpid(first, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && second.aborted());
    EXPECT_TRUE(endsWith(second.out, "Erreur : une autre execution de Kalvorine travaille deja dans ce dossier\n" +
                                         std::string(kFatalLines)));
    for (const char* name : {"out1.bmp", "out4.bmp", "sumR.fit", "sum.bmp", "shift.lst"})
        EXPECT_EQ(readText(dir / name), readText(alone / name)) << name;
}

// Memory that runs out once the frames are loaded (address-space limits from tight to ample):
// every run either completes or ends with the program's own message and the fatal stop.
TEST_P(SafeOutput, MemoryRunningOutEndsWithAMessageAndTheFatalStop) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer reserves more address space than any limit here";
#endif
    writeScene(dir.path, 2000, 1500);
    writeText(dir / "script.txt", "Reference ref.bmp\nSource src.bmp out.bmp\nAngle -1 1 1\nTranslation 2 1\n");
    int messages = 0;
    for (long megabytes = 24; megabytes <= 160; megabytes += 4) {
        SCOPED_TRACE(megabytes);
        const RunResult r =
            runProgram(program().path, {"script.txt"}, dir.path, {.input = "", .addressSpaceLimit = megabytes << 20});
        if (r.exitedWith(127)) continue;   // too little even to start
        if (r.signal == 0) {
            EXPECT_TRUE(r.exitedWith(0) && r.out.find("image out.bmp FIN") != std::string::npos) << r.out;
            continue;
        }
        EXPECT_TRUE(r.aborted() && endsWith(r.out, kFatalLines)) << r.out;
        const bool named = r.out.find("Erreur : memoire insuffisante pendant") != std::string::npos;
        EXPECT_TRUE(named || r.out.find("Erreur : pas assez de memoire") != std::string::npos) << r.out;
        messages += named;
    }
    EXPECT_GT(messages, 0) << "no limit fell after loading";
}

}   // namespace
