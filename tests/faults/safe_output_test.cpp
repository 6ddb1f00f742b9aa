// Whole runs whose outputs meet what can go wrong on a real machine: a full disk over the
// only copy of a frame, devices, links and FIFOs named as results, a signal in the middle of
// a save, two runs in one folder, memory running out. Every destination ends either as it
// was or complete, and nothing the run did not create is removed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "guarded_run.h"
#include "support/run_program.h"
#include "support/test_images.h"

namespace fs = std::filesystem;

namespace {

const std::string kScript = "Reference ref.bmp\nSource src.bmp out.bmp\nAngle -1 1 1\nTranslation 4 1\n";

bool hasTemporary(const fs::path& dir) {
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().string().find(".kalvorine-tmp") != std::string::npos) return true;
    return false;
}

// A program started in dir with its console in dir/console.txt, not waited for.
pid_t start(const std::string& program, const fs::path& dir, const std::string& script) {
    const pid_t pid = fork();
    if (pid == 0) {
        ChildSetup setup;
        setup.workDir = dir;
        setup.outputFile = dir / "console.txt";
        execProgram(program, {script}, setup);
    }
    return pid;
}

class SafeOutput : public ::testing::TestWithParam<Program> {
protected:
    TempDir dir;
    std::string expectedResult;   // out.bmp of a sound run of kScript

    void SetUp() override {
        writeScene(dir.path, 96, 72);
        TempDir sound;
        writeScene(sound.path, 96, 72);
        ASSERT_TRUE(run(sound.path, kScript).exitedWith(0));
        expectedResult = readText(sound / "out.bmp");
    }
    static void writeScene(const fs::path& at, int width, int height) {
        for (auto [name, shift] : {std::pair{"ref.bmp", 0.0}, std::pair{"src.bmp", 2.0}}) {
            OwnedImage im(syntheticFrame(width, height, 0, shift, -1));
            writeBmp(at / name, im.im);
        }
    }
    GuardedResult run(const fs::path& at, const std::string& text, GuardedOptions options = {}) {
        writeText(at / "script.txt", text);
        options.hangSeconds = 120;
        GuardedResult r = runGuarded(GetParam().path, {"script.txt"}, at, options);
        EXPECT_FALSE(r.hung);
        return r;
    }
};

INSTANTIATE_TEST_SUITE_P(Programs, SafeOutput,
                         ::testing::Values(Program{"kalvorine", KAL_PROGRAM}, Program{"kalvorine_sse", KAL_PROGRAM_SSE}),
                         [](const auto& info) { return std::string(info.param.name); });

// A full disk (the file-size limit) under a result named as its own source or as an earlier
// good result: the rewrite fails, and the file it would have replaced keeps every byte.
TEST_P(SafeOutput, AFailedRewriteKeepsTheFileItWouldHaveReplaced) {
    const std::string source = readText(dir / "src.bmp");
    writeText(dir / "out.bmp", expectedResult);
    GuardedOptions full;
    full.fileSizeLimit = 4096;
    for (const char* result : {"src.bmp", "out.bmp"}) {
        SCOPED_TRACE(result);
        const GuardedResult r =
            run(dir.path, "Reference ref.bmp\nSource src.bmp " + std::string(result) + "\nTranslation 4 1\n", full);
        EXPECT_TRUE(r.exitedWith(0));
        EXPECT_NE(r.out.find(std::string("Sauvegarde d'une image ") + result +
                             " ERREUR : ecriture incomplete du fichier (disque plein ?)\n"),
                  std::string::npos);
        EXPECT_EQ(readText(dir / "src.bmp"), source);
        EXPECT_EQ(readText(dir / "out.bmp"), expectedResult);
        EXPECT_FALSE(hasTemporary(dir.path));
    }
    // With room, the source itself can be the result.
    EXPECT_TRUE(run(dir.path, "Reference ref.bmp\nSource src.bmp src.bmp\nAngle -1 1 1\nTranslation 4 1\n").exitedWith(0));
    EXPECT_EQ(readText(dir / "src.bmp"), expectedResult);
}

// Destinations that are not regular files: a link is followed and stays a link; a device and
// a FIFO are written as streams and stay what they were; a folder is reported and left alone.
TEST_P(SafeOutput, LinksDevicesFifosAndFoldersAsResults) {
    fs::create_directory(dir / "real");
    fs::create_symlink("real/target.bmp", dir / "out.bmp");
    ASSERT_TRUE(run(dir.path, kScript).exitedWith(0));
    EXPECT_TRUE(fs::is_symlink(dir / "out.bmp"));
    EXPECT_EQ(readText(dir / "real" / "target.bmp"), expectedResult);
    fs::remove(dir / "out.bmp");

    ASSERT_EQ(mkfifo((dir / "out.bmp").c_str(), 0644), 0);
    std::string received;
    std::thread reader([&] { received = readText(dir / "out.bmp"); });
    const GuardedResult viaFifo = run(dir.path, kScript);
    reader.join();
    EXPECT_TRUE(viaFifo.exitedWith(0));
    EXPECT_NE(viaFifo.out.find("Sauvegarde d'une image out.bmp FIN\n"), std::string::npos);
    EXPECT_EQ(received, expectedResult);
    EXPECT_TRUE(fs::is_fifo(dir / "out.bmp"));
    fs::remove(dir / "out.bmp");

    fs::create_directory(dir / "out.bmp");
    const GuardedResult onFolder = run(dir.path, kScript);
    EXPECT_TRUE(onFolder.exitedWith(0));
    EXPECT_NE(onFolder.out.find("Sauvegarde d'une image out.bmp ERREUR : c'est un dossier, pas un fichier\n"),
              std::string::npos);
    EXPECT_TRUE(fs::is_empty(dir / "out.bmp"));
    fs::remove(dir / "out.bmp");

    // A private node of the device that is always full (never the machine's own /dev/full).
    if (geteuid() != 0) GTEST_SKIP() << "making a device node needs root";
    ASSERT_EQ(mknod((dir / "out.bmp").c_str(), S_IFCHR | 0666, makedev(1, 7)), 0);
    const GuardedResult onDevice = run(dir.path, kScript);
    EXPECT_TRUE(onDevice.exitedWith(0));
    EXPECT_NE(onDevice.out.find("Sauvegarde d'une image out.bmp ERREUR : ecriture incomplete"), std::string::npos);
    struct stat info;
    ASSERT_EQ(lstat((dir / "out.bmp").c_str(), &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
}

// SIGINT or SIGKILL while a large frame is saved over an earlier file: the destination holds
// the old bytes or the new ones, whole. SIGINT removes the temporary file; SIGKILL may leave
// it, under a name that says what it is.
TEST_P(SafeOutput, ASignalDuringASaveLeavesTheOldFileOrTheNewOneWhole) {
    TempDir big;
    writeScene(big.path, 3000, 2000);
    const std::string script = "Reference ref.bmp\nSource src.bmp out.bmp\n";
    writeText(big / "script.txt", script);
    ASSERT_TRUE(runGuarded(GetParam().path, {"script.txt"}, big.path).exitedWith(0));
    const std::string fresh = readText(big / "out.bmp");
    const std::string old = "an earlier result";
    for (const int signal : {SIGINT, SIGKILL}) {
        SCOPED_TRACE(signal);
        writeText(big / "out.bmp", old);
        const pid_t pid = start(GetParam().path, big.path, "script.txt");
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!hasTemporary(big.path) && std::chrono::steady_clock::now() < limit &&
               waitpid(pid, nullptr, WNOHANG) == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        kill(pid, signal);
        int status = 0;
        waitpid(pid, &status, 0);
        const std::string now = readText(big / "out.bmp");
        EXPECT_TRUE(now == old || now == fresh) << now.size() << " bytes";
        if (signal == SIGINT) {
            EXPECT_FALSE(hasTemporary(big.path));
        }
        for (const auto& entry : fs::directory_iterator(big.path))
            if (entry.path().string().find(".kalvorine-tmp") != std::string::npos) fs::remove(entry.path());
    }
}

// A second run in a folder that a run is working in stops at once, writing nothing; the
// first one's outputs are whole and its own.
TEST_P(SafeOutput, ASecondRunInTheSameFolderStopsBeforeWritingAnything) {
    TempDir big;
    writeScene(big.path, 2000, 1500);
    const std::string script = "Reference ref.bmp\nSourcesbmp src out 1 4\nCompositage sum.bmp\n";
    for (int i = 1; i <= 4; ++i) fs::copy_file(big / "src.bmp", big / ("src" + std::to_string(i) + ".bmp"));
    writeText(big / "script.txt", script);
    TempDir alone;
    for (const auto& entry : fs::directory_iterator(big.path)) fs::copy_file(entry.path(), alone / entry.path().filename().string());
    ASSERT_TRUE(runGuarded(GetParam().path, {"script.txt"}, alone.path).exitedWith(0));

    const pid_t first = start(GetParam().path, big.path, "script.txt");
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((!fs::exists(big / "console.txt") ||
            readText(big / "console.txt").find("Traitement de l'image 1") == std::string::npos) &&
           std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const GuardedResult second = runGuarded(GetParam().path, {"script.txt"}, big.path);
    int status = 0;
    waitpid(first, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(second.aborted());
    EXPECT_TRUE(endsWith(second.out, "Erreur : une autre execution de Kalvorine travaille deja dans ce dossier\n" +
                                         std::string(kFatalLines)));
    for (const char* name : {"out1.bmp", "out4.bmp", "sumR.fit", "sum.bmp", "shift.lst"})
        EXPECT_EQ(readText(big / name), readText(alone / name)) << name;
}

// Memory that runs out once the frames are loaded (address-space limits from tight to ample):
// every run either completes or ends with the program's own message and the fatal stop.
TEST_P(SafeOutput, MemoryRunningOutEndsWithAMessageAndTheFatalStop) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer reserves more address space than any limit here";
#endif
    TempDir big;
    writeScene(big.path, 2000, 1500);
    int messages = 0;
    for (long megabytes = 24; megabytes <= 160; megabytes += 4) {
        SCOPED_TRACE(megabytes);
        writeText(big / "script.txt", "Reference ref.bmp\nSource src.bmp out.bmp\nAngle -1 1 1\nTranslation 2 1\n");
        const pid_t pid = fork();
        if (pid == 0) {
            ChildSetup setup;
            setup.workDir = big.path;
            setup.outputFile = big / "console.txt";
            setup.addressSpaceLimit = megabytes << 20;
            execProgram(GetParam().path, {"script.txt"}, setup);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        const std::string out = readText(big / "console.txt");
        if (WIFEXITED(status) && WEXITSTATUS(status) == 127) continue;   // too little even to start
        if (WIFEXITED(status)) {
            EXPECT_EQ(WEXITSTATUS(status), 0);
            EXPECT_NE(out.find("Sauvegarde d'une image out.bmp FIN"), std::string::npos);
            continue;
        }
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), SIGABRT) << out;
        EXPECT_TRUE(endsWith(out, kFatalLines)) << out;
        const bool named = out.find("Erreur : memoire insuffisante pendant") != std::string::npos;
        EXPECT_TRUE(named || out.find("Erreur : pas assez de memoire") != std::string::npos) << out;
        messages += named;
    }
    EXPECT_GT(messages, 0) << "no limit fell after loading";
}

}  // namespace
