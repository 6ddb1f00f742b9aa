#include "composite/sums_merge.h"

#include <cstdint>
#include <cstdio>

#include "composite/composite.h"
#include "composite/sums_file.h"
#include "driver/run_settings.h"

namespace {

// What differs between two parts' references, or empty when they agree.
std::string referenceDifference(const ReferenceIdentity& a, const ReferenceIdentity& b) {
    if (a.width != b.width || a.height != b.height)
        return "taille " + std::to_string(a.width) + "x" + std::to_string(a.height) + " et " + std::to_string(b.width) +
               "x" + std::to_string(b.height);
    if (a.name != b.name) return "image " + a.name + " et " + b.name;
    if (a.x0 != b.x0 || a.y0 != b.y0)
        return "point de reference (" + std::to_string(a.x0) + ", " + std::to_string(a.y0) + ") et (" +
               std::to_string(b.x0) + ", " + std::to_string(b.y0) + ")";
    if (a.checksum != b.checksum) return "meme nom et meme taille, mais pixels differents";
    return "";
}

int refused() {
    std::printf("Fusion abandonnee : aucun fichier ecrit\n");
    return 1;
}

}   // namespace

int mergeSumsFiles(const std::string& stem, const std::vector<std::string>& parts) {
    if (parts.empty()) {
        std::printf("Erreur : aucune partie a fusionner\n");
        std::printf("Usage : kalvorine-merge nom_de_sortie partie1.fit [partie2.fit ...]\n");
        return 2;
    }
    std::printf("Fusion de %zu partie(s) dans %s\n", parts.size(), stem.c_str());
    SumsHeader total;
    std::vector<CompositeCell> sums;
    for (std::size_t k = 0; k < parts.size(); ++k) {
        const char* path = parts[k].c_str();
        SumsHeader part;
        std::vector<CompositeCell> cells;
        std::string why;
        if (!readSumsFile(path, part, cells, why)) {
            std::printf("Erreur : partie %s : %s\n", path, why.c_str());
            return refused();
        }
        std::printf("Partie %zu : %s (%lli images listees, %lli ajoutees)\n", k + 1, path,
                    static_cast<long long>(part.framesListed), static_cast<long long>(part.framesAdded));
        if (k == 0) {
            total = part;
            sums.swap(cells);
            continue;
        }
        const std::string difference = referenceDifference(total.reference, part.reference);
        if (!difference.empty()) {
            std::printf("Erreur : les parties %s et %s n'ont pas la meme reference (%s)\n", parts[0].c_str(), path,
                        difference.c_str());
            return refused();
        }
        total.framesListed += part.framesListed;
        total.framesAdded += part.framesAdded;
        total.runs += part.runs;
        if (total.framesListed > INT32_MAX || total.framesAdded > kMaxSummedFrames) {
            std::printf(
                "Erreur : trop d'images en tout (%lli listees, %lli ajoutees) : les sommes ne tiennent plus "
                "sur 32 bits\n",
                static_cast<long long>(total.framesListed), static_cast<long long>(total.framesAdded));
            return refused();
        }
        // No sum passes 32 bits: each is at most 255 x its frames added, and their total is bounded.
        for (std::size_t i = 0; i < sums.size(); ++i)
            for (int c = 0; c < 3; ++c) sums[i].sum[c] += cells[i].sum[c];
    }

    RunSettings& s = settings;
    s.reference.width = total.reference.width;
    s.reference.height = total.reference.height;
    s.reference.x0 = total.reference.x0;
    s.reference.y0 = total.reference.y0;
    s.imageCount = std::int32_t(total.framesListed);
    s.framesAdded = std::int32_t(total.framesAdded);
    s.compositeSums.swap(sums);

    const std::string sumsPath = stem + kMergedSumsSuffix;
    std::printf("Sauvegarde des sommes du compositage : %s\n", sumsPath.c_str());
    bool ok = writeSumsFile(sumsPath.c_str(), total, s.compositeSums);
    std::printf("Sauvegarde de l'image compositee : %s.bmp\n", stem.c_str());
    ok = writeCompositeFiles(stem) && ok;
    std::printf("Fin de la fusion : %lli images listees, %lli ajoutees, %lli execution(s)%s\n",
                static_cast<long long>(total.framesListed), static_cast<long long>(total.framesAdded),
                static_cast<long long>(total.runs), ok ? "" : " ; des fichiers n'ont pas pu etre ecrits");
    return ok ? 0 : 1;
}
