// kalvorine-merge out_stem part1.fit part2.fit ...: see composite/sums_merge.h.
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "composite/sums_merge.h"
#include "imageio/output_file.h"

int main(int argc, char** argv) {
    removeTemporaryOutputsOnSignals();
    if (argc < 2) {
        std::printf("Usage : kalvorine-merge nom_de_sortie partie1.fit [partie2.fit ...]\n");
        std::printf("Additionne les sommes ecrites par la commande Sommes de plusieurs executions et ecrit\n");
        std::printf("nom_de_sortieR.fit, V.fit, B.fit, .bmp (comme Compositage nom_de_sortie.bmp) et %s\n",
                    (std::string("nom_de_sortie") + kMergedSumsSuffix).c_str());
        return 2;
    }
    try {
        return mergeSumsFiles(argv[1], std::vector<std::string>(argv + 2, argv + argc));
    } catch (const std::bad_alloc&) {
        std::printf("\nErreur : memoire insuffisante pour la fusion\n");
    } catch (const std::length_error&) {
        std::printf("\nErreur : memoire insuffisante pour la fusion\n");
    }
    std::printf("Fusion abandonnee\n");
    return 1;
}
