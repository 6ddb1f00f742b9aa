#include "driver/script_reader.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/precision.h"
#include "driver/fatal_stop.h"
#include "driver/run_settings.h"
#include "imageio/frame_source.h"

namespace {

constexpr int kLineBufferSize = 1000;
constexpr const char* kKeywordDelimiters = ": ";
constexpr const char* kArgumentDelimiters = ", \n";

// strtok over one line, without strtok's hidden state: leading delimiters are skipped,
// the delimiter that ends a token is overwritten by a NUL, and an exhausted line gives
// null from then on.
class LineTokens {
public:
    explicit LineTokens(char* line) : next_(line) {}
    char* take(const char* delimiters) {
        char* start = next_ + std::strspn(next_, delimiters);
        if (*start == '\0') {
            next_ = start;
            return nullptr;
        }
        char* end = start + std::strcspn(start, delimiters);
        if (*end != '\0') *end++ = '\0';
        next_ = end;
        return start;
    }
    char* argument() { return take(kArgumentDelimiters); }

private:
    char* next_;
};

// strtol in base 10, saturated to 32 bits.
std::int32_t parseInt(const char* token) {
    const long long value = std::strtoll(token, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return std::int32_t(value);
}

float parseFloat(const char* token) { return float(std::strtod(token, nullptr)); }

bool is(const char* token, const char* a, const char* b) {
    return std::strcmp(token, a) == 0 || std::strcmp(token, b) == 0;
}

void refuse(const char* why, long long lineNo) { std::printf(" *** valeur refusee (%s). Ligne %lli  ", why, lineNo); }

void sourceCommand(LineTokens& tokens, long long lineNo) {
    RunSettings& s = settings;
    const int k = s.imageCount + 1;
    if (k > kMaxImages) {
        std::printf("Erreur : trop d'images \x88 traiter\n");
        fatalStop();
    }
    if (const char* name = tokens.argument()) {
        s.sourceNames[k] = name;
        std::printf("Image source: %s ", name);
    } else {
        std::printf("Commande source sans nom de fichier source. Ligne %lli\n", lineNo);
    }
    if (const char* name = tokens.argument()) {
        s.resultNames[k] = name;
        std::printf("Fichier resultat: %s", name);
    } else {
        std::printf("Commande source sans nom de fichier resultat. Ligne %lli\n", lineNo);
    }
    s.sourceX0Given[k] = 0;
    if (const char* value = tokens.argument()) {
        const std::int32_t x0 = parseInt(value);
        std::printf(" Point x0=%i", x0);
        if (std::abs(std::int64_t(x0)) <= kMaxScriptPoint) {
            s.sourceX0[k] = x0;
            s.sourceX0Given[k] = 1;
        } else {
            refuse("point hors limites", lineNo);
        }
    }
    s.sourceY0Given[k] = 0;
    if (const char* value = tokens.argument()) {
        const std::int32_t y0 = parseInt(value);
        std::printf(" y0=%i", y0);
        if (std::abs(std::int64_t(y0)) <= kMaxScriptPoint) {
            s.sourceY0[k] = y0;
            s.sourceY0Given[k] = 1;
        } else {
            refuse("point hors limites", lineNo);
        }
    }
    std::printf("\n");
    if (!s.sourceNames[k].empty() && !s.resultNames[k].empty()) s.imageCount = k;
}

void sourceSequenceCommand(LineTokens& tokens, long long lineNo) {
    RunSettings& s = settings;
    const char* sourceStem = tokens.argument();
    if (sourceStem != nullptr) {
        std::printf("Nom generique de la sequence entree: %s   ", sourceStem);
    } else {
        std::printf("Commande source sans nom de fichier source. Ligne %lli\n", lineNo);
    }
    const char* resultStem = tokens.argument();
    if (resultStem != nullptr) {
        std::printf("sortie: %s   ", resultStem);
    } else {
        std::printf("Commande source sans nom de fichier de sortie. Ligne %lli\n", lineNo);
    }
    const char* firstToken = tokens.argument();
    std::int32_t first = 0;
    if (firstToken != nullptr) {
        first = parseInt(firstToken);
        std::printf("Debut=%i  ", first);
    } else {
        std::printf("Pas de numero de debut");
    }
    const char* lastToken = tokens.argument();
    std::int32_t last = 0;
    if (lastToken != nullptr) {
        last = parseInt(lastToken);
        std::printf("Fin=%i\n", last);
    } else {
        std::printf("Pas de numero de fin");
    }
    // A line missing one of its four values adds nothing, and so does a range whose
    // count does not fit in 32 bits.
    if (sourceStem == nullptr || resultStem == nullptr || firstToken == nullptr || lastToken == nullptr) return;
    const std::int64_t total = std::int64_t(s.imageCount) + (std::int64_t(last) - first) + 1;
    if (total > INT32_MAX || total < INT32_MIN) return;
    if (total > kMaxImages) {
        std::printf("Trop d'images \x88 traiter\n");
        fatalStop();
    }
    for (std::int64_t n = first; n <= last; ++n) {
        const int k = s.imageCount + 1;
        s.sourceNames[k] = std::string(sourceStem) + std::to_string(n) + ".bmp";
        std::printf("source: %s -> ", s.sourceNames[k].c_str());
        s.resultNames[k] = std::string(resultStem) + std::to_string(n) + ".bmp";
        std::printf("resultat: %s", s.resultNames[k].c_str());
        s.sourceX0Given[k] = 0;
        s.sourceY0Given[k] = 0;
        std::printf("\n");
        s.imageCount = k;
    }
}

void referenceCommand(LineTokens& tokens, long long lineNo) {
    RunSettings& s = settings;
    if (s.referenceAutoCount > 0) {
        std::printf("Attention : la commande ReferenceAuto precedente est remplacee par celle-ci\n");
        s.referenceAutoCount = 0;
    }
    if (!s.referenceName.empty()) {
        std::printf("Attention: plusieurs commande reference dans le m\x90me fichier\n");
    }
    if (const char* name = tokens.argument()) {
        s.referenceName = name;
        std::printf("Image de reference: %s", name);
    } else {
        std::printf("Commande reference sans nom de fichier. Ligne %lli\n", lineNo);
    }
    s.referenceX0 = 0;
    s.referenceX0Given = 0;
    if (const char* value = tokens.argument()) {
        const std::int32_t x0 = parseInt(value);
        std::printf(" Point x0=%i", x0);
        if (std::abs(std::int64_t(x0)) <= kMaxScriptPoint) {
            s.referenceX0 = x0;
            s.referenceX0Given = 1;
        } else {
            refuse("point hors limites", lineNo);
        }
    }
    s.referenceY0 = 0;
    s.referenceY0Given = 0;
    if (const char* value = tokens.argument()) {
        const std::int32_t y0 = parseInt(value);
        std::printf(" y0=%i", y0);
        if (std::abs(std::int64_t(y0)) <= kMaxScriptPoint) {
            s.referenceY0 = y0;
            s.referenceY0Given = 1;
        } else {
            refuse("point hors limites", lineNo);
        }
    }
    std::printf("\n");
}

void compositeCommand(LineTokens& tokens, long long lineNo) {
    if (const char* name = tokens.argument()) {
        settings.compositeName = name;
        std::printf("Image compositee: %s", name);
    } else {
        std::printf("Commande compositage sans nom de fichier. Ligne %lli\n", lineNo);
    }
    std::printf("\n");
}

// "Sommes name": the composite accumulator's raw sums are written to name at the end.
void sumsCommand(LineTokens& tokens, long long lineNo) {
    if (const char* name = tokens.argument()) {
        settings.sumsName = name;
        std::printf("Sommes du compositage: %s", name);
    } else {
        std::printf("Commande sommes sans nom de fichier. Ligne %lli\n", lineNo);
    }
    std::printf("\n");
}

// One examination of a "Dimension" line; the line is examined twice, each time with the
// next word.
void dimensionExamination(LineTokens& tokens, bool second) {
    const char* word = tokens.argument();
    if (word != nullptr && is(word, "Libre", "libre")) {
        if (!second) {
            std::printf("La taille de sortie des images peut \x90tre differente de la taille d'origine");
        } else {
            std::printf("La taille de sortie des images peut etre differente de la taille d'origine");
        }
        settings.freeOutputSize = 1;
        std::printf("La taille de sortie des images sera la meme que la taille d'origine");
        if (!second) {
            std::printf("\n ***** Pas encore implemente...");
        } else {
            std::printf("\n ***** Pas encore impl\x8Ement\x8E...");
        }
        settings.freeOutputSize = 0;
    }
    std::printf("\n");
}

void fractionCommand(LineTokens& tokens) {
    if (const char* value = tokens.argument()) {
        const std::int32_t n = parseInt(value);
        settings.translationFraction = n > 0 ? n : 1;
        std::printf("Fraction de l'image prise en compte pour la recherche de translation=1/%i  ",
                    settings.translationFraction);
    }
    std::printf("\n");
}

// One of the three values of an "Angle" line: echoed in degrees, stored in radians.
void angleValue(const char* token, float& field, const char* format, bool isResolution, long long lineNo) {
    const float degrees = parseFloat(token);
    std::printf(format, degrees);
    if (!std::isfinite(degrees)) {
        refuse("angle non fini", lineNo);
        return;
    }
    if (isResolution && degrees < 0) {
        refuse("resolution negative", lineNo);
        return;
    }
    if (isResolution && degrees > 0 && degrees < kMinScriptAngleResolutionDegrees) {
        refuse("resolution plus fine que 0.0001 degre", lineNo);
        return;
    }
    if (!isResolution && std::fabs(degrees) > kMaxScriptAngleDegrees) {
        refuse("angle hors de -360..360 degres", lineNo);
        return;
    }
    field = float(InterD(degrees) * kOneDegree);
}

void angleCommand(LineTokens& tokens, long long lineNo) {
    RunSettings& s = settings;
    if (const char* value = tokens.argument()) {
        angleValue(value, s.angleMin, "Angle min=%f  ", false, lineNo);
        if (const char* value2 = tokens.argument()) {
            angleValue(value2, s.angleMax, "Angle max=%f  ", false, lineNo);
            if (const char* value3 = tokens.argument()) {
                angleValue(value3, s.angleStep, "Resolution=%f  ", true, lineNo);
            }
        }
    }
    std::printf("\n");
}

void translationCommand(LineTokens& tokens, long long lineNo) {
    RunSettings& s = settings;
    if (const char* value = tokens.argument()) {
        const std::int32_t m = parseInt(value);
        std::printf("Decalage global maximum=%i  ", m);
        if (std::abs(std::int64_t(m)) <= kMaxScriptShift) {
            s.shiftXMax = m;
            s.shiftXMin = -m;
            s.shiftYMin = -m;
            s.shiftYMax = m;
        } else {
            refuse("decalage hors limites", lineNo);
        }
    }
    if (const char* value = tokens.argument()) {
        const std::int32_t p = parseInt(value);
        if (p >= 0) {
            s.shiftStep = p != 0 ? p : 1;
            std::printf(" pas=%i  ", s.shiftStep);
        } else {
            std::printf(" pas=%i  ", p);
            refuse("pas negatif", lineNo);
        }
    }
    std::printf("\n");
}

void blockCommand(LineTokens& tokens, long long lineNo) {
    RunSettings& s = settings;
    if (const char* value = tokens.argument()) {
        const std::int32_t g = parseInt(value);
        std::printf("Largeur de grille=%i  ", g);
        if (g <= kMaxScriptShift) {
            s.blockGridWidth = g;
        } else {
            refuse("grille trop large", lineNo);
        }
    }
    if (const char* value = tokens.argument()) {
        const std::int32_t w = parseInt(value);
        std::printf("Largeur de recherche=%i  ", w);
        if (w >= 0 && w <= kMaxScriptShift) {
            s.blockSearchWidth = w;
        } else {
            refuse("largeur hors de 0..65535", lineNo);
        }
    }
    if (const char* value = tokens.argument()) {
        const std::int32_t m = parseInt(value);
        std::printf("Decalage maxi de bloc=%i  ", m);
        if (m < 0) {
            refuse("decalage negatif", lineNo);
        } else if (m <= kMaxScriptShift) {
            s.blockShiftXMax = m;
            s.blockShiftXMin = -m;
            s.blockShiftYMin = -m;
            s.blockShiftYMax = m;
        } else {
            refuse("decalage hors limites", lineNo);
        }
    }
    if (const char* value = tokens.argument()) {
        const float step = parseFloat(value);
        std::printf("Pas de decalage de bloc=%f  ", step);
        if (step > 0 && step < kMinScriptBlockStep) {
            refuse("pas plus fin que 0.01 pixel", lineNo);
        } else if (step > 0 && step <= float(kMaxScriptShift)) {
            s.blockShiftStep = step;
        } else {
            refuse("le pas doit etre positif", lineNo);
        }
    }
    std::printf("\n");
}

// "Affinage 0|1": the sub-pixel refinement of the registration, off unless asked for.
void refinementCommand(LineTokens& tokens, long long lineNo) {
    const char* value = tokens.argument();
    if (value == nullptr) {
        std::printf("Affinage sous-pixel  ");
        refuse("valeur manquante", lineNo);
        std::printf("\n");
        return;
    }
    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(value, &end, 10);
    const bool numeric = end != value && std::strspn(end, " \t\r") == std::strlen(end);
    std::printf("Affinage sous-pixel=%.*s  ", int(std::strcspn(value, " \t\r")), value);
    if (!numeric) {
        refuse("valeur non numerique", lineNo);
    } else if (n < 0) {
        refuse("valeur negative", lineNo);
    } else if (n > 1 || errno == ERANGE) {
        refuse("0 ou 1 attendu", lineNo);
    } else {
        settings.subpixelRefinement = std::int32_t(n);
    }
    std::printf("\n");
}

void selectionCommand(LineTokens& tokens, long long lineNo) {
    if (const char* value = tokens.argument()) {
        const std::int32_t p = parseInt(value);
        std::printf("Selection des meilleures images : %i %%", p);
        if (p >= 1 && p <= 100) {
            settings.selectionPercent = p;
        } else {
            refuse("pourcentage hors de 1..100", lineNo);
        }
    } else {
        std::printf("Commande selection sans pourcentage. Ligne %lli", lineNo);
    }
    std::printf("\n");
}

void referenceAutoCommand(LineTokens& tokens, long long lineNo) {
    RunSettings& s = settings;
    if (const char* value = tokens.argument()) {
        const std::int32_t n = parseInt(value);
        std::printf("Reference construite a partir des %i meilleures images", n);
        if (n >= 1 && n <= kMaxImages) {
            if (!s.referenceName.empty()) {
                std::printf("\nAttention : la commande Reference precedente (%s) est remplacee par celle-ci",
                            s.referenceName.c_str());
                s.referenceName.clear();
            }
            s.referenceAutoCount = n;
        } else {
            refuse("nombre d'images hors de 1..29999", lineNo);
        }
    } else {
        std::printf("Commande referenceauto sans nombre d'images. Ligne %lli", lineNo);
    }
    std::printf("\n");
}

// "Sequence video stem [first last]": frames first to last (1 first; default all) of a SER
// video or FITS cube, each a source whose result is stem<n>.bmp.
void sequenceCommand(LineTokens& tokens, long long lineNo) {
    RunSettings& s = settings;
    const char* video = tokens.argument();
    const char* stem = video != nullptr ? tokens.argument() : nullptr;
    if (video == nullptr || stem == nullptr) {
        std::printf("Commande sequence sans nom de video ou de sortie. Ligne %lli\n", lineNo);
        return;
    }
    std::printf("Sequence: %s ", video);
    FrameSourceInfo info;
    if (!probeFrameSource(video, info)) {
        std::printf("Sequence ignoree. Ligne %lli\n", lineNo);
        return;
    }
    std::printf(info.format == FrameFormat::ser ? "(%lli octets, SER, %i bits, " : "(%lli octets, FITS, BITPIX %i, ",
                info.fileSize, info.depth);
    std::printf("%s, %i x %i, %lli images) -> %s<n>.bmp", info.colour.c_str(), info.width, info.height,
                static_cast<long long>(info.frames), stem);
    if (info.frames < info.announced)
        std::printf(" (video tronquee: %lli images annoncees)", static_cast<long long>(info.announced));
    std::int64_t first = 1, last = info.frames;
    if (const char* firstToken = tokens.argument()) {
        first = parseInt(firstToken);
        const char* lastToken = tokens.argument();
        last = lastToken != nullptr ? parseInt(lastToken) : info.frames;
    }
    std::printf(" images %lli a %lli", static_cast<long long>(first), static_cast<long long>(last));
    if (first < 1 || last > info.frames || first > last) {
        refuse("images hors de la video", lineNo);
        std::printf("\n");
        return;
    }
    if (std::int64_t(s.imageCount) + (last - first + 1) > kMaxImages) {
        refuse("plus de 29999 images", lineNo);
        std::printf("\n");
        return;
    }
    std::printf("\n");
    for (std::int64_t n = first; n <= last; ++n) {
        const int k = s.imageCount + 1;
        s.sourceNames[k] = video;
        s.resultNames[k] = std::string(stem) + std::to_string(n) + ".bmp";
        s.sourceFrames[k] = n - 1;
        s.sourceX0Given[k] = 0;
        s.sourceY0Given[k] = 0;
        s.imageCount = k;
    }
}

// "Empilement name.fit": the deep stack, as 32-bit FITS and 16-bit PNG.
void deepStackCommand(LineTokens& tokens, long long lineNo) {
    if (const char* name = tokens.argument()) {
        settings.deepStackName = name;
        std::printf("Empilement (flottants 32 bits): %s", name);
    } else {
        std::printf("Commande empilement sans nom de fichier. Ligne %lli", lineNo);
    }
    std::printf("\n");
}

void storeDefaults() {
    RunSettings& s = settings;
    s.imageCount = 0;
    s.referenceName.clear();
    s.angleMin = 0;
    s.angleMax = 0;
    s.angleStep = 1.0f;
    s.shiftXMin = s.shiftXMax = s.shiftYMin = s.shiftYMax = 0;
    s.shiftStep = 1;
    s.blockGridWidth = 0;
    s.blockSearchWidth = 0;
    s.blockShiftXMin = s.blockShiftXMax = s.blockShiftYMin = s.blockShiftYMax = 0;
    s.blockShiftStep = 1.0f;
    s.freeOutputSize = 1;
    s.translationFraction = 6;
    s.subpixelRefinement = 0;
    s.selectionPercent = 0;
    s.referenceAutoCount = 0;
}

}   // namespace

void readScript() {
    std::printf("Lecture des parametres\n");
    storeDefaults();
    const char* name = settings.scriptFileName.c_str();
    std::FILE* file = std::fopen(name, "r");
    if (file == nullptr) {
        std::printf("Impossible d'ouvrir le fichier %s\n", name);
        fatalStop();
    }
    std::printf("\nFichier de script : %s\n\n\n", name);

    char line[kLineBufferSize];
    long long lineNo = 0;
    for (;;) {
        ++lineNo;
        if (std::fgets(line, kLineBufferSize, file) == nullptr) break;
        LineTokens tokens(line);
        const char* keyword = tokens.take(kKeywordDelimiters);
        if (keyword == nullptr) continue;
        bool recognised = std::strcmp(keyword, "\n") == 0;
        if (is(keyword, "Source", "source")) {
            sourceCommand(tokens, lineNo);
            recognised = true;
        }
        if (is(keyword, "Sourcesbmp", "sourcesbmp")) {
            sourceSequenceCommand(tokens, lineNo);
            recognised = true;
        }
        if (is(keyword, "Reference", "reference")) {
            referenceCommand(tokens, lineNo);
            recognised = true;
        }
        if (is(keyword, "Compositage", "compositage")) {
            compositeCommand(tokens, lineNo);
            recognised = true;
        }
        const bool dimension = is(keyword, "Dimension", "dimension");
        if (dimension) {
            dimensionExamination(tokens, false);
            recognised = true;
        }
        if (is(keyword, "optitranslation", "OptiTranslation") || is(keyword, "Optitranslation", "optiTranslation")) {
            fractionCommand(tokens);
            recognised = true;
        }
        if (dimension) dimensionExamination(tokens, true);
        if (is(keyword, "Angle", "angle")) {
            angleCommand(tokens, lineNo);
            recognised = true;
        }
        if (is(keyword, "Translation", "translation")) {
            translationCommand(tokens, lineNo);
            recognised = true;
        }
        if (is(keyword, "Bloc", "bloc")) {
            blockCommand(tokens, lineNo);
            recognised = true;
        }
        if (is(keyword, "Sommes", "sommes")) {
            sumsCommand(tokens, lineNo);
            recognised = true;
        }
        if (is(keyword, "Affinage", "affinage")) {
            refinementCommand(tokens, lineNo);
            recognised = true;
        }
        if (is(keyword, "Selection", "selection")) {
            selectionCommand(tokens, lineNo);
            recognised = true;
        }
        if (is(keyword, "ReferenceAuto", "referenceauto")) {
            referenceAutoCommand(tokens, lineNo);
            recognised = true;
        }
        if (is(keyword, "Sequence", "sequence")) {
            sequenceCommand(tokens, lineNo);
            recognised = true;
        }
        if (is(keyword, "Empilement", "empilement")) {
            deepStackCommand(tokens, lineNo);
            recognised = true;
        }
        if (is(keyword, "Rem", "rem")) recognised = true;
        if (is(keyword, "Quitter", "quitter")) {
            settings.skipFinalPause = 1;
            recognised = true;
        }
        if (!recognised) std::printf("*********** Commande inconnue ligne %lli\n", lineNo);
    }
    std::fclose(file);
}
