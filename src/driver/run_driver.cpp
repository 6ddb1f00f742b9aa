#include "driver/run_driver.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <new>
#include <stdexcept>

#include "blocks/block_stage.h"
#include "common/clock.h"
#include "composite/composite.h"
#include "driver/camera_frames.h"
#include "driver/fatal_stop.h"
#include "driver/run_settings.h"
#include "driver/script_reader.h"
#include "imageio/bmp_writer.h"
#include "registration/coarse_translation.h"
#include "registration/global_adjustment.h"

namespace {

// Aligned frames are renamed into place without an fsync of their own: it cost more than the
// 5 % of a frame's time allowed (the composite files and shift.lst are synced).
constexpr bool kSyncAlignedFrames = false;

void printBanner() {
    std::printf("**************************************\n");
    std::printf("****        Kalvorine v2.1        ****\n");
    std::printf("****        24 Avril 2002         ****\n");
    std::printf("**************************************\n");
    std::printf("****        Portage Linux         ****\n");
    std::printf("**************************************\n");
    std::printf("\n");
}

// A frame of width or height 0 holds nothing to register, yet its turned bounding box can
// be huge (a 0 x 65535 frame turned by 45 degrees covers 46341 x 46341 pixels). Says so,
// continuing the loading line, and returns true for such a frame.
bool reportEmpty(const Image& im) {
    if (im.pixels != nullptr) return false;
    std::printf("Erreur : image vide (%i x %i pixels), rien a aligner\n", im.width, im.height);
    return true;
}

void loadReference(CameraRun& camera) {
    RunSettings& s = settings;
    if (s.referenceName.empty()) {
        std::printf("Erreur : pas d'image de reference\n");
        fatalStop();
    }
    // Registration against an image that could not be read would compare nothing.
    DeepImage deep;   // a video's first frame
    if (loadSourceFrame(s.reference, deep, s.referenceName.c_str(), 0, camera) != kFrameLoaded) fatalStop();
    if (reportEmpty(s.reference)) fatalStop();
    s.reference.x0 = s.referenceX0Given == 1 ? s.referenceX0 : s.reference.width / 2;
    s.reference.y0 = s.referenceY0Given == 1 ? s.referenceY0 : s.reference.height / 2;
    if (camera.stacking) camera.stack = startDeepStack(s.reference, deep);
}

// One run at a time in a folder: a second one would mix its shift.lst lines and outputs with
// the first one's. The lock is taken on the folder itself (no lock file is left behind) and
// held until every output is in place; a folder that cannot be opened goes without it.
void lockFolder() {
    RunSettings& s = settings;
    s.runLock = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (s.runLock >= 0 && ::flock(s.runLock, LOCK_EX | LOCK_NB) != 0) {
        std::printf("Erreur : une autre execution de Kalvorine travaille deja dans ce dossier\n");
        fatalStop();
    }
}

void openShiftLog() {
    RunSettings& s = settings;
    if (openOutput(s.shiftLogFile, "shift.lst") == OutputOpen::opened) {
        s.shiftLog = s.shiftLogFile.file;
    } else {
        std::printf("Attention : impossible de creer le fichier shift.lst, les decalages ne seront pas enregistres\n");
    }
}

void closeShiftLog() {
    RunSettings& s = settings;
    if (s.shiftLog == nullptr) return;
    s.shiftLog = nullptr;
    if (!commitOutput(s.shiftLogFile, true)) {
        std::printf("Erreur : ecriture incomplete du fichier shift.lst (disque plein ?)\n");
    }
}

// A failed allocation: says what was being done, then the fatal stop.
[[noreturn]] void outOfMemory(const char* doing) {
    std::printf("\nErreur : memoire insuffisante %s\n", doing);
    fatalStop();
}

void processImage(int i, CameraRun& camera) {
    RunSettings& s = settings;
    std::printf("\n**************************************************\n");
    std::printf("Traitement de l'image %i (%s)\n", i, s.sourceNames[i].c_str());
    DeepImage deep;   // the frame at full depth, kept for the deep stack
    if (loadSourceFrame(s.current, deep, s.sourceNames[i].c_str(), s.sourceFrames[i], camera) != kFrameLoaded ||
        reportEmpty(s.current)) {
        return;
    }
    const std::int32_t imageStart = processorTicks();
    s.current.x0 = s.sourceX0Given[i] != 0 ? s.sourceX0[i] : s.reference.x0;
    s.current.y0 = s.sourceY0Given[i] != 0 ? s.sourceY0[i] : s.reference.y0;
    const char* doing = "pendant l'ajustement global";
    try {
        RigidGeometry rigid;
        BlockDeformation blocks;
        if (s.angleMin < s.angleMax || s.angleMin > s.angleMax) {
            globalAdjustment(&rigid);
        } else {
            coarseTranslationSearch(&rigid);
        }
        if (s.current.pixels == nullptr) return;   // too large once aligned: reported, skipped
        doing = "pendant l'ajustage par blocs";
        if (s.blockGridWidth > 0) runBlockStage(&blocks);
        std::printf("Temps total de calcul pour l'image: %u secondes\n",
                    unsigned(processorSeconds() - imageStart / 1000000));
        doing = "pendant la sauvegarde";
        saveBmp(s.current, s.resultNames[i].c_str(), kSyncAlignedFrames);
        doing = "pendant le compositage";
        if (!s.compositeName.empty()) addToComposite(s.current);
        doing = "pendant l'empilement";
        stackAlignedFrame(camera, deep, rigid, s.blockGridWidth > 0 ? &blocks : nullptr, s.current);
    } catch (const std::bad_alloc&) {
        outOfMemory(doing);
    } catch (const std::length_error&) {
        outOfMemory(doing);
    }
    releasePixels(s.current);
}

}  // namespace

int runKalvorine(int argc, char** argv) {
    RunSettings& s = settings;
    if (argc < 2) {
        s.scriptFileName = "ScriptKalvorine2.txt";
        s.skipFinalPause = 0;
    } else {
        s.scriptFileName = argv[1];
        s.skipFinalPause = 1;
        if (argc > 2) {
            std::printf("Trop de fichiers : seul le premier fichier pourra \x90tre traite\n");
            std::printf("Veuillez faire un script pour lancer plusieurs fois Kalvorine\n");
        }
    }
    printBanner();
    const std::int32_t startSeconds = processorSeconds();
    removeTemporaryOutputsOnSignals();
    lockFolder();
    readScript();
    CameraRun camera;
    camera.stacking = !s.deepStackName.empty();
    try {
        loadReference(camera);
        if (!s.compositeName.empty()) startComposite();
    } catch (const std::exception&) {
        outOfMemory("pendant le chargement de la reference");
    }
    openShiftLog();
    for (int i = 1; i <= s.imageCount; ++i) processImage(i, camera);
    closeShiftLog();
    try {
        if (camera.stacking) writeDeepStack(camera.stack, s.deepStackName);
    } catch (const std::exception&) {
        outOfMemory("pendant l'ecriture de l'empilement");
    }
    try {
        if (!s.compositeName.empty()) finishComposite();
    } catch (const std::exception&) {
        outOfMemory("pendant l'ecriture de l'image compositee");
    }

    releasePixels(s.reference);
    releasePixels(s.referenceFeatures);
    s.referenceName.clear();
    s.sourceNames.clear();
    s.resultNames.clear();
    s.sourceFrames.clear();
    std::printf("\nTemps pour l'ensemble du calcul: %u secondes\n", unsigned(processorSeconds() - startSeconds));
    std::printf("Fin de l'execution de Kalvorine\n");
    ::close(s.runLock);   // every output is in place: another run may use the folder
    s.runLock = -1;
    if (s.skipFinalPause == 0) {
        std::printf("Appuyez sur entree pour quitter\n");
        std::fflush(stdout);
        std::getc(stdin);
    }
    return 0;
}
