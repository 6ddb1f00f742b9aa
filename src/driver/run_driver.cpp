#include "driver/run_driver.h"

#include <cstdio>

#include "blocks/block_stage.h"
#include "common/clock.h"
#include "composite/composite.h"
#include "driver/fatal_stop.h"
#include "driver/run_settings.h"
#include "driver/script_reader.h"
#include "imageio/bmp_reader.h"
#include "imageio/bmp_writer.h"
#include "registration/coarse_translation.h"
#include "registration/global_adjustment.h"

namespace {

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

void loadReference() {
    RunSettings& s = settings;
    if (s.referenceName.empty()) {
        std::printf("Erreur : pas d'image de reference\n");
        fatalStop();
    }
    // Registration against an image that could not be read would compare nothing.
    if (loadBmp(s.reference, s.referenceName.c_str()) != kBmpLoaded) fatalStop();
    if (reportEmpty(s.reference)) fatalStop();
    s.reference.x0 = s.referenceX0Given == 1 ? s.referenceX0 : s.reference.width / 2;
    s.reference.y0 = s.referenceY0Given == 1 ? s.referenceY0 : s.reference.height / 2;
}

void openShiftLog() {
    settings.shiftLog = std::fopen("shift.lst", "w");
    if (settings.shiftLog == nullptr) {
        std::printf("Attention : impossible de creer le fichier shift.lst, les decalages ne seront pas enregistres\n");
    }
}

void closeShiftLog() {
    std::FILE*& log = settings.shiftLog;
    if (log == nullptr) return;
    const bool failed = std::ferror(log) != 0;
    if (std::fclose(log) != 0 || failed) {
        std::printf("Erreur : ecriture incomplete du fichier shift.lst (disque plein ?)\n");
    }
    log = nullptr;
}

void processImage(int i) {
    RunSettings& s = settings;
    std::printf("\n**************************************************\n");
    std::printf("Traitement de l'image %i (%s)\n", i, s.sourceNames[i].c_str());
    if (loadBmp(s.current, s.sourceNames[i].c_str()) != kBmpLoaded || reportEmpty(s.current)) return;
    const std::int32_t imageStart = processorTicks();
    s.current.x0 = s.sourceX0Given[i] != 0 ? s.sourceX0[i] : s.reference.x0;
    s.current.y0 = s.sourceY0Given[i] != 0 ? s.sourceY0[i] : s.reference.y0;
    if (s.angleMin < s.angleMax || s.angleMin > s.angleMax) {
        globalAdjustment();
    } else {
        coarseTranslationSearch();
    }
    if (s.current.pixels == nullptr) return;   // too large once aligned: reported, skipped
    if (s.blockGridWidth > 0) runBlockStage();
    std::printf("Temps total de calcul pour l'image: %u secondes\n",
                unsigned(processorSeconds() - imageStart / 1000000));
    saveBmp(s.current, s.resultNames[i].c_str());
    if (!s.compositeName.empty()) addToComposite(s.current);
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
    readScript();
    loadReference();
    if (!s.compositeName.empty()) startComposite();
    openShiftLog();
    for (int i = 1; i <= s.imageCount; ++i) processImage(i);
    closeShiftLog();
    if (!s.compositeName.empty()) finishComposite();

    releasePixels(s.reference);
    releasePixels(s.referenceFeatures);
    s.referenceName.clear();
    s.sourceNames.clear();
    s.resultNames.clear();
    std::printf("\nTemps pour l'ensemble du calcul: %u secondes\n", unsigned(processorSeconds() - startSeconds));
    std::printf("Fin de l'execution de Kalvorine\n");
    if (s.skipFinalPause == 0) {
        std::printf("Appuyez sur entree pour quitter\n");
        std::fflush(stdout);
        std::getc(stdin);
    }
    return 0;
}
