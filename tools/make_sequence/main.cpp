// make-sequence: renders a reference frame and source frames from a scene image, with
// known rotations and translations, and writes them with a kalvorine script and a truth
// file. Run kalvorine from the output folder: `cd OUT && kalvorine script.txt`.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "make_sequence/sequence.h"

#ifndef KALSEQ_DEFAULT_SCENE
#define KALSEQ_DEFAULT_SCENE "data/moon/moon_1024x768.bmp"
#endif

namespace {

void printUsage(std::FILE* to) {
    std::fprintf(to,
                 "Usage: make-sequence [options]\n"
                 "Renders reference.bmp and frame01.bmp ... from a scene, each a view turned and shifted by\n"
                 "a known amount with seeing, blur and noise, plus script.txt (a kalvorine script naming the\n"
                 "files relative to the output folder) and truth.txt (each frame's rotation and shift).\n"
                 "\n"
                 "  --scene PATH            scene image, 24-bit BMP (default %s)\n"
                 "  --out DIR               output folder, created when missing (default sequence)\n"
                 "  --frames N              number of source frames (default 8)\n"
                 "  --width W, --height H   frame size in pixels (default 640 x 480)\n"
                 "  --seed S                random seed (default 1)\n"
                 "  --max-rotation DEG      rotations drawn in [-DEG, DEG] (default 3)\n"
                 "  --max-shift PX          shifts drawn in [-PX, PX] on each axis (default 15)\n"
                 "  --seeing PX             seeing amplitude: deviation of each displacement (default 1.5)\n"
                 "  --seeing-scale PX       distance over which the seeing varies (default 64)\n"
                 "  --blur SIGMA            Gaussian blur in pixels, 0 for none (default 0.7)\n"
                 "  --noise SIGMA           Gaussian noise in grey levels, 0 for none (default 3)\n"
                 "  --blur-range MIN,MAX    seeing varying per frame: each frame's blur drawn in [MIN, MAX]\n"
                 "                          (in place of --blur), its seeing scaled by blur / middle of the\n"
                 "                          range; adds a blur column to truth.txt and writes sharp.bmp\n"
                 "Script lines (give \"none\" to leave a line out):\n"
                 "  --angle MIN,MAX,RES     \"Angle\" line, degrees (default -5,5,1)\n"
                 "  --translation MAX,STEP  \"Translation\" line, pixels (default 20,1)\n"
                 "  --bloc G,S,M,STEP       \"Bloc\" line: grid, search width, max shift, step (default 32,8,4,1)\n"
                 "  --composite NAME        \"Compositage\" line (default sum.bmp)\n"
                 "  --affinage 0|1          \"Affinage 1\" line, the sub-pixel refinement (default 0: no line)\n"
                 "  --selection P           \"Selection P\" line: stack the sharpest P %% (default none)\n"
                 "  --reference-auto N      \"ReferenceAuto N\" line in place of \"Reference\" (default none)\n"
                 "  --help                  this text\n",
                 KALSEQ_DEFAULT_SCENE);
}

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "make-sequence: %s\n", why.c_str());
    std::exit(2);
}

// The numbers of a list such as "-5,5,1" or "-5 5 1".
std::vector<double> numberList(const std::string& flag, const std::string& text, std::size_t count) {
    std::vector<double> values;
    const char* p = text.c_str();
    while (*p != '\0') {
        while (*p == ',' || *p == ' ') ++p;
        if (*p == '\0') break;
        char* end = nullptr;
        errno = 0;
        const double v = std::strtod(p, &end);
        if (end == p || errno != 0) fail(flag + ": not a number list: " + text);
        values.push_back(v);
        p = end;
    }
    if (values.size() != count) fail(flag + " takes " + std::to_string(count) + " numbers: " + text);
    return values;
}

double number(const std::string& flag, const std::string& text, double low, double high) {
    const std::vector<double> v = numberList(flag, text, 1);
    if (!(v[0] >= low && v[0] <= high)) {
        fail(flag + " must lie in " + std::to_string(low) + " .. " + std::to_string(high) + ": " + text);
    }
    return v[0];
}

std::int32_t whole(const std::string& flag, const std::string& text, double low, double high) {
    const double v = number(flag, text, low, high);
    if (v != double(std::int64_t(v))) fail(flag + " takes a whole number: " + text);
    return std::int32_t(v);
}

std::int32_t wholeValue(const std::string& flag, double v) {
    if (v != double(std::int64_t(v)) || v > 65535 || v < -65535) fail(flag + " takes whole numbers");
    return std::int32_t(v);
}

kalseq::SequenceOptions parseOptions(int argc, char** argv) {
    kalseq::SequenceOptions o;
    o.scenePath = KALSEQ_DEFAULT_SCENE;
    for (int i = 1; i < argc; ++i) {
        std::string flag = argv[i], value;
        if (flag == "--help" || flag == "-h") {
            printUsage(stdout);
            std::exit(0);
        }
        const std::size_t eq = flag.find('=');
        if (eq != std::string::npos) {
            value = flag.substr(eq + 1);
            flag = flag.substr(0, eq);
        } else {
            if (i + 1 >= argc) fail("missing value after " + flag);
            value = argv[++i];
        }
        if (flag == "--scene") {
            o.scenePath = value;
        } else if (flag == "--out") {
            o.outputDir = value;
        } else if (flag == "--frames") {
            o.frames = whole(flag, value, 1, 29999);
        } else if (flag == "--width") {
            o.width = whole(flag, value, 8, 65535);
        } else if (flag == "--height") {
            o.height = whole(flag, value, 8, 65535);
        } else if (flag == "--seed") {
            char* end = nullptr;
            errno = 0;
            o.seed = std::strtoull(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno != 0 || value[0] == '-')
                fail("--seed takes a whole number: " + value);
        } else if (flag == "--max-rotation") {
            o.maxRotationDegrees = number(flag, value, 0, 45);
        } else if (flag == "--max-shift") {
            o.maxShift = number(flag, value, 0, 10000);
        } else if (flag == "--seeing") {
            o.seeingAmplitude = number(flag, value, 0, 1000);
        } else if (flag == "--seeing-scale") {
            o.seeingScale = number(flag, value, 1, 100000);
        } else if (flag == "--blur") {
            o.blurSigma = number(flag, value, 0, 100);
        } else if (flag == "--blur-range") {
            const std::vector<double> v = numberList(flag, value, 2);
            if (!(v[0] >= 0 && v[0] <= v[1] && v[1] > 0 && v[1] <= 100))
                fail("--blur-range takes 0 <= MIN <= MAX <= 100, MAX > 0: " + value);
            o.blurMin = v[0];
            o.blurMax = v[1];
        } else if (flag == "--noise") {
            o.noiseSigma = number(flag, value, 0, 255);
        } else if (flag == "--angle") {
            o.writeAngle = value != "none";
            if (o.writeAngle) {
                const std::vector<double> v = numberList(flag, value, 3);
                o.angleMin = v[0];
                o.angleMax = v[1];
                o.angleResolution = v[2];
            }
        } else if (flag == "--translation") {
            o.writeTranslation = value != "none";
            if (o.writeTranslation) {
                const std::vector<double> v = numberList(flag, value, 2);
                o.translationMax = wholeValue(flag, v[0]);
                o.translationStep = wholeValue(flag, v[1]);
            }
        } else if (flag == "--bloc") {
            o.writeBloc = value != "none";
            if (o.writeBloc) {
                const std::vector<double> v = numberList(flag, value, 4);
                o.blocGrid = wholeValue(flag, v[0]);
                o.blocSearch = wholeValue(flag, v[1]);
                o.blocMax = wholeValue(flag, v[2]);
                o.blocStep = v[3];
            }
        } else if (flag == "--affinage") {
            o.writeAffinage = whole(flag, value, 0, 1) == 1;
        } else if (flag == "--selection") {
            o.selectionPercent = whole(flag, value, 1, 100);
        } else if (flag == "--reference-auto") {
            o.referenceAuto = whole(flag, value, 1, 29999);
        } else if (flag == "--composite") {
            o.writeComposite = value != "none";
            if (o.writeComposite) {
                if (value.find_first_of(" ,\t\r\n") != std::string::npos)
                    fail("--composite: the name may not hold blanks or commas");
                o.compositeName = value;
            }
        } else {
            std::fprintf(stderr, "make-sequence: unknown option %s\n\n", flag.c_str());
            printUsage(stderr);
            std::exit(2);
        }
    }
    return o;
}

}   // namespace

int main(int argc, char** argv) {
    const kalseq::SequenceOptions options = parseOptions(argc, argv);
    std::string error;
    std::vector<std::int32_t> outside;
    if (!kalseq::writeSequence(options, error, &outside)) fail(error);
    for (const std::int32_t i : outside) {
        std::fprintf(stderr, "make-sequence: warning: %s looks beyond the scene's edge (edge pixels repeated)\n",
                     kalseq::frameFileName(options, i).c_str());
    }
    std::printf("make-sequence: %s: reference and %d frames of %dx%d (seed %llu), %s, %s\n", options.outputDir.c_str(),
                int(options.frames), int(options.width), int(options.height),
                static_cast<unsigned long long>(options.seed), kalseq::scriptFileName().c_str(),
                kalseq::truthFileName().c_str());
    return 0;
}
