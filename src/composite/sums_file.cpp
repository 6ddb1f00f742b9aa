#include "composite/sums_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "imageio/output_file.h"

namespace {

constexpr std::size_t kFitsBlock = 2880;
constexpr std::size_t kCard = 80;
constexpr int kPlanes = 3;
constexpr int kLayoutVersion = 1;
constexpr std::size_t kMaxHeaderBlocks = 16;   // far more than the cards written
constexpr std::size_t kMaxNameLength = 60;
constexpr std::uint32_t kSignFlip = 0x80000000u;   // stored word = sum - BZERO = sum ^ this
const char* const kKind = "COMPOSITE";
const char* const kChecksumPlaceholder = "0000000000000000";

// The channel (0 blue, 1 green, 2 red) held by plane p of the file: red, green, blue.
int channelOfPlane(int p) { return 2 - p; }

// One 80-character card: a logical or integer value right-justified in columns 11 to 30, a
// string from column 11 in quotes (padded to 8 characters, the value field to column 30),
// then " / comment" as far as it fits. This is the layout astropy gives a card it rewrites,
// which it does to the CHECKSUM card when it verifies the checksum.
void appendCard(std::string& out, const char* keyword, const std::string& value, bool isString, const char* comment) {
    std::string card = keyword;
    card.resize(8, ' ');
    card += "= ";
    if (isString) {
        std::string quoted = "'";
        for (char c : value) quoted += c == '\'' ? std::string("''") : std::string(1, c);
        if (quoted.size() < 9) quoted.resize(9, ' ');
        card += quoted + "'";
        if (card.size() < 30) card.resize(30, ' ');   // a comment starts in column 32, as for numbers
    } else {
        card.append(value.size() < 20 ? 20 - value.size() : 0, ' ');
        card += value;
    }
    if (comment != nullptr && card.size() + 3 < kCard) card += std::string(" / ") + comment;
    card.resize(kCard, ' ');
    out += card;
}

void appendInteger(std::string& out, const char* keyword, std::int64_t value, const char* comment) {
    appendCard(out, keyword, std::to_string(value), false, comment);
}

void appendComment(std::string& out, const char* text) {
    std::string card = std::string("COMMENT ") + text;
    card.resize(kCard, ' ');
    out += card;
}

std::string hex64(std::uint64_t v) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
    return text;
}

// The name as it goes in the file: folders dropped, bytes outside printable ASCII as '?',
// at most kMaxNameLength bytes.
std::string printableName(const std::string& name) {
    std::string base = name.substr(name.find_last_of('/') == std::string::npos ? 0 : name.find_last_of('/') + 1);
    for (char& c : base)
        if (std::uint8_t(c) < 0x20 || std::uint8_t(c) > 0x7E) c = '?';
    if (base.size() > kMaxNameLength) base.resize(kMaxNameLength);
    return base;
}

// Every header card but END, with CHECKSUM holding value checksum.
std::string headerCards(const SumsHeader& h, std::uint32_t dataSum, const std::string& checksum) {
    const ReferenceIdentity& r = h.reference;
    std::string out;
    appendCard(out, "SIMPLE", "T", false, "conforms to the FITS standard");
    appendInteger(out, "BITPIX", 32, "32-bit integers");
    appendInteger(out, "NAXIS", 3, nullptr);
    appendInteger(out, "NAXIS1", r.width, "reference width");
    appendInteger(out, "NAXIS2", r.height, "reference height");
    appendInteger(out, "NAXIS3", kPlanes, "planes: red, green, blue sums");
    appendCard(out, "EXTEND", "T", false, "other accumulators may follow as extensions");
    appendInteger(out, "BZERO", std::int64_t(kSignFlip), "sums are unsigned 32-bit integers");
    appendInteger(out, "BSCALE", 1, nullptr);
    appendCard(out, "KALKIND", kKind, true, "kind of accumulator: Compositage channel sums");
    appendInteger(out, "KALVERS", kLayoutVersion, "version of this layout");
    appendCard(out, "PLANE1", "SOMME-R", true, "plane 1: sums of the red channel");
    appendCard(out, "PLANE2", "SOMME-V", true, "plane 2: sums of the green channel");
    appendCard(out, "PLANE3", "SOMME-B", true, "plane 3: sums of the blue channel");
    appendInteger(out, "NLISTED", h.framesListed, "frames listed; the average divides by this");
    appendInteger(out, "NADDED", h.framesAdded, "frames added to the sums");
    appendInteger(out, "NRUNS", h.runs, "runs whose sums these are");
    appendCard(out, "REFNAME", r.name, true, "reference image, folders dropped");
    appendInteger(out, "REFX0", r.x0, "reference point, column");
    appendInteger(out, "REFY0", r.y0, "reference point, row from the top");
    appendCard(out, "REFSUM", hex64(r.checksum), true, "FNV-1a 64 of the reference colour bytes");
    appendComment(out, "Rows bottom first, as in the 16-bit composite files. Each frame adds");
    appendComment(out, "channel x validity / 255, truncated, of its aligned pixel to a sum.");
    appendCard(out, "DATASUM", std::to_string(dataSum), true, "data unit checksum");
    appendCard(out, "CHECKSUM", checksum, true, "HDU checksum");
    return out;
}

std::string withEnd(std::string cards) {
    std::string end = "END";
    end.resize(kCard, ' ');
    cards += end;
    cards.append((kFitsBlock - cards.size() % kFitsBlock) % kFitsBlock, ' ');
    return cards;
}

// File row `row` of plane `plane` (picture row height - 1 - row), big-endian stored words, into out.
void storedRow(const std::vector<CompositeCell>& sums, std::int32_t width, std::int32_t height, int plane,
               std::int32_t row, char* out) {
    const int channel = channelOfPlane(plane);
    const CompositeCell* cell = sums.data() + std::size_t(height - 1 - row) * std::size_t(width);
    for (std::int32_t x = 0; x < width; ++x, ++cell, out += 4) {
        const std::uint32_t w = cell->sum[channel] ^ kSignFlip;
        out[0] = char(std::uint8_t(w >> 24));
        out[1] = char(std::uint8_t(w >> 16));
        out[2] = char(std::uint8_t(w >> 8));
        out[3] = char(std::uint8_t(w));
    }
}

// The stored words of a file row back into plane `plane`, picture row height - 1 - row;
// false when a sum exceeds highest.
bool readRow(const char* in, std::int32_t width, std::int32_t height, int plane, std::int32_t row,
             std::uint64_t highest, std::vector<CompositeCell>& sums) {
    const int channel = channelOfPlane(plane);
    CompositeCell* cell = sums.data() + std::size_t(height - 1 - row) * std::size_t(width);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(in);
    bool within = true;
    for (std::int32_t x = 0; x < width; ++x, ++cell, p += 4) {
        const std::uint32_t v =
            ((std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3]) ^ kSignFlip;
        cell->sum[channel] = v;
        within = within && v <= highest;
    }
    return within;
}

// The parsed cards of a header: keyword, value text (strings unquoted), whether a string.
struct Card {
    std::string keyword;
    std::string value;
    bool isString = false;
};

// Parses one card; false when its value cannot be read.
bool parseCard(const char* text, Card& card) {
    std::string keyword(text, 8);
    keyword.erase(keyword.find_last_not_of(' ') + 1);
    card.keyword = keyword;
    card.value.clear();
    card.isString = false;
    if (std::strncmp(text + 8, "= ", 2) != 0) return true;   // commentary card
    std::size_t i = 10;
    while (i < kCard && text[i] == ' ') ++i;
    if (i < kCard && text[i] == '\'') {
        card.isString = true;
        for (++i;; ++i) {
            if (i >= kCard) return false;   // no closing quote
            if (text[i] == '\'') {
                if (i + 1 < kCard && text[i + 1] == '\'') {
                    card.value += '\'';
                    ++i;
                    continue;
                }
                break;
            }
            card.value += text[i];
        }
        card.value.erase(card.value.find_last_not_of(' ') + 1);
        return true;
    }
    std::size_t end = i;
    while (end < kCard && text[end] != '/') ++end;
    card.value.assign(text + i, end - i);
    card.value.erase(card.value.find_last_not_of(' ') + 1);
    return true;
}

const Card* findCard(const std::vector<Card>& cards, const char* keyword) {
    for (const Card& c : cards)
        if (c.keyword == keyword) return &c;
    return nullptr;
}

bool integerOf(const Card* card, std::int64_t lowest, std::int64_t highest, std::int64_t& value) {
    if (card == nullptr || card->isString || card->value.empty() || card->value.size() > 19) return false;
    const char* text = card->value.c_str();
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lowest || v > highest) return false;
    value = v;
    return true;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

bool readFully(std::FILE* file, char* out, std::size_t size) { return std::fread(out, 1, size, file) == size; }

}   // namespace

ReferenceIdentity identifyReference(const Image& reference, const std::string& name) {
    ReferenceIdentity id;
    id.name = printableName(name);
    id.width = reference.width;
    id.height = reference.height;
    id.x0 = reference.x0;
    id.y0 = reference.y0;
    std::uint64_t h = 0xcbf29ce484222325ull;
    const std::size_t pixels = pixelBytes(reference.width, reference.height) / kBytesPerPixel;
    for (std::size_t i = 0; i < pixels; ++i)
        for (int c = 0; c < 3; ++c) {
            h ^= reference.pixels[i * kBytesPerPixel + std::size_t(c)];
            h *= 0x100000001b3ull;
        }
    id.checksum = h;
    return id;
}

std::uint32_t addOnesComplement(std::uint32_t a, std::uint32_t b) {
    const std::uint64_t s = std::uint64_t(a) + b;
    return std::uint32_t((s & 0xFFFFFFFFu) + (s >> 32));
}

std::uint32_t onesComplementSum(const char* bytes, std::size_t size, std::uint32_t start) {
    std::uint64_t total = start;   // at most 2^32 per word: no overflow below 2^31 words
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
    for (std::size_t i = 0; i + 4 <= size; i += 4)
        total +=
            (std::uint32_t(p[i]) << 24) | (std::uint32_t(p[i + 1]) << 16) | (std::uint32_t(p[i + 2]) << 8) | p[i + 3];
    while (total >> 32) total = (total & 0xFFFFFFFFu) + (total >> 32);
    return std::uint32_t(total);
}

std::string encodeChecksum(std::uint32_t sum) {
    // The complement of sum spread over 16 characters, each byte as four characters that
    // stay clear of the punctuation between the digits and the letters; read as words, the
    // characters then add (less the '0's they replace) to the complement.
    static const unsigned char exclude[] = {0x3a, 0x3b, 0x3c, 0x3d, 0x3e, 0x3f, 0x40,
                                            0x5b, 0x5c, 0x5d, 0x5e, 0x5f, 0x60};
    const std::uint32_t value = ~sum;
    char ascii[16];
    for (int i = 0; i < 4; ++i) {
        const int byte = int((value >> (24 - 8 * i)) & 0xFF);
        int ch[4];
        for (int& c : ch) c = byte / 4 + '0';
        ch[0] += byte % 4;
        for (bool again = true; again;) {
            again = false;
            for (unsigned char bad : exclude)
                for (int j = 0; j < 4; j += 2)
                    if (ch[j] == bad || ch[j + 1] == bad) {
                        ++ch[j];
                        --ch[j + 1];
                        again = true;
                    }
        }
        for (int j = 0; j < 4; ++j) ascii[4 * j + i] = char(ch[j]);
    }
    std::string out(16, ' ');
    for (int i = 0; i < 16; ++i) out[std::size_t(i)] = ascii[(i + 15) % 16];   // the value starts in column 12
    return out;
}

bool writeSumsFile(const char* path, const SumsHeader& header, const std::vector<CompositeCell>& sums) {
    const std::int32_t width = header.reference.width, height = header.reference.height;
    const std::size_t words = std::size_t(kPlanes) * sums.size(), rowBytes = std::size_t(width) * 4;
    std::vector<char> row(rowBytes);

    // The data's checksum first: it goes in the header.
    std::uint32_t dataSum = 0;
    for (int plane = 0; plane < kPlanes; ++plane)
        for (std::int32_t r = 0; r < height; ++r) {
            storedRow(sums, width, height, plane, r, row.data());
            dataSum = onesComplementSum(row.data(), rowBytes, dataSum);
        }
    const std::string unsummed = withEnd(headerCards(header, dataSum, kChecksumPlaceholder));
    const std::uint32_t hduSum = onesComplementSum(unsummed.data(), unsummed.size(), dataSum);
    const std::string head = withEnd(headerCards(header, dataSum, encodeChecksum(hduSum)));

    OutputFile file;
    if (const OutputOpen opened = openOutput(file, path); opened != OutputOpen::opened) {
        std::printf("Erreur : impossible de creer le fichier %s%s\n", path,
                    opened == OutputOpen::folder ? " (c'est un dossier)" : "");
        return false;
    }
    bool ok = std::fwrite(head.data(), 1, head.size(), file.file) == head.size();
    for (int plane = 0; plane < kPlanes; ++plane)
        for (std::int32_t r = 0; ok && r < height; ++r) {
            storedRow(sums, width, height, plane, r, row.data());
            ok = std::fwrite(row.data(), 1, rowBytes, file.file) == rowBytes;
        }
    const std::size_t fill = (kFitsBlock - (words * 4) % kFitsBlock) % kFitsBlock;
    const std::vector<char> zeros(fill, '\0');
    ok = ok && (fill == 0 || std::fwrite(zeros.data(), 1, fill, file.file) == fill);
    if (!ok) discardOutput(file);
    if (!ok || !commitOutput(file, true)) {
        std::printf("Erreur : ecriture incomplete du fichier %s (disque plein ?)\n", path);
        return false;
    }
    return true;
}

bool readSumsFile(const char* path, SumsHeader& header, std::vector<CompositeCell>& sums, std::string& why) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "rb"));
    if (!file) {
        why = std::string("impossible d'ouvrir le fichier (") + std::strerror(errno) + ")";
        return false;
    }
    struct stat info;
    if (::fstat(::fileno(file.get()), &info) != 0 || !S_ISREG(info.st_mode)) {
        why = "ce n'est pas un fichier ordinaire";
        return false;
    }
    const std::uint64_t fileSize = std::uint64_t(info.st_size);
    if (fileSize < kFitsBlock || fileSize % kFitsBlock != 0) {
        why = "fichier tronque ou endommage (" + std::to_string(fileSize) +
              " octets ; un fichier FITS en compte un multiple de 2880)";
        return false;
    }

    // The header: blocks of 36 cards up to the END card.
    std::string head;
    std::vector<Card> cards;
    bool ended = false;
    while (!ended) {
        if (head.size() / kFitsBlock >= kMaxHeaderBlocks || head.size() + kFitsBlock > fileSize) {
            why = "en-tete sans carte END";
            return false;
        }
        const std::size_t at = head.size();
        head.resize(at + kFitsBlock);
        if (!readFully(file.get(), head.data() + at, kFitsBlock)) {
            why = "lecture impossible de l'en-tete";
            return false;
        }
        for (std::size_t c = at; c < head.size() && !ended; c += kCard) {
            for (std::size_t k = c; k < c + kCard; ++k)
                if (head[k] < 0x20 || head[k] > 0x7E) {
                    why = "en-tete invalide (caractere non ASCII)";
                    return false;
                }
            if (head.compare(c, kCard, "END" + std::string(kCard - 3, ' ')) == 0) {
                ended = true;
                break;
            }
            Card card;
            if (!parseCard(head.data() + c, card)) {
                why = "en-tete invalide (carte " + std::string(head, c, 8) + " illisible)";
                return false;
            }
            if (!card.value.empty() || card.isString) {
                if (findCard(cards, card.keyword.c_str()) != nullptr) {
                    why = "en-tete invalide (mot-cle " + card.keyword + " en double)";
                    return false;
                }
            }
            cards.push_back(card);
        }
    }

    // The mandatory cards in their order, then ours wherever they are.
    const char* const mandatory[] = {"SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "NAXIS3"};
    for (std::size_t k = 0; k < 6; ++k)
        if (cards.size() <= k || cards[k].keyword != mandatory[k]) {
            why = std::string("en-tete invalide (") + mandatory[k] + " absent ou mal place)";
            return false;
        }
    std::int64_t bitpix = 0, naxis = 0, width = 0, height = 0, planes = 0, bzero = 0, bscale = 1, version = 0;
    std::int64_t listed = 0, added = 0, runs = 0, x0 = 0, y0 = 0;
    auto integer = [&](const char* keyword, std::int64_t lowest, std::int64_t highest, std::int64_t& value) {
        if (integerOf(findCard(cards, keyword), lowest, highest, value)) return true;
        why = std::string("en-tete invalide (") + keyword + " absent ou hors limites)";
        return false;
    };
    auto text = [&](const char* keyword, std::string& value) {
        const Card* card = findCard(cards, keyword);
        if (card != nullptr && card->isString) {
            value = card->value;
            return true;
        }
        why = std::string("en-tete invalide (") + keyword + " absent)";
        return false;
    };
    if (cards[0].value != "T" || cards[0].isString) {
        why = "en-tete invalide (SIMPLE n'est pas T)";
        return false;
    }
    std::string kind, referenceSum, dataSumText, checksumText;
    if (!text("KALKIND", kind)) return false;
    if (kind != kKind) {
        why = "type d'accumulateur inconnu (KALKIND = '" + kind + "')";
        return false;
    }
    if (!integer("BITPIX", 32, 32, bitpix) || !integer("NAXIS", 3, 3, naxis) ||
        !integer("NAXIS1", 1, kMaxImageSide, width) || !integer("NAXIS2", 1, kMaxImageSide, height) ||
        !integer("NAXIS3", kPlanes, kPlanes, planes) || !integer("BZERO", kSignFlip, kSignFlip, bzero) ||
        (findCard(cards, "BSCALE") != nullptr && !integer("BSCALE", 1, 1, bscale)) ||
        !integer("KALVERS", kLayoutVersion, kLayoutVersion, version) || !integer("NLISTED", 0, INT32_MAX, listed) ||
        !integer("NADDED", 0, listed, added) || !integer("NRUNS", 1, INT32_MAX, runs) ||
        !integer("REFX0", INT32_MIN, INT32_MAX, x0) || !integer("REFY0", INT32_MIN, INT32_MAX, y0) ||
        !text("REFNAME", header.reference.name) || !text("REFSUM", referenceSum) || !text("DATASUM", dataSumText) ||
        !text("CHECKSUM", checksumText))
        return false;
    if (width * height > kMaxImagePixels) {
        why = "en-tete invalide (image de plus de 2^28 pixels)";
        return false;
    }
    if (referenceSum.size() != 16 || referenceSum.find_first_not_of("0123456789abcdef") != std::string::npos) {
        why = "en-tete invalide (REFSUM)";
        return false;
    }
    if (dataSumText.empty() || dataSumText.size() > 10 ||
        dataSumText.find_first_not_of("0123456789") != std::string::npos ||
        std::strtoull(dataSumText.c_str(), nullptr, 10) > 0xFFFFFFFFull) {
        why = "en-tete invalide (DATASUM)";
        return false;
    }
    const std::uint64_t dataBytes = std::uint64_t(width) * std::uint64_t(height) * kPlanes * 4;
    const std::uint64_t expected = head.size() + (dataBytes + kFitsBlock - 1) / kFitsBlock * kFitsBlock;
    if (fileSize < expected) {
        why = "fichier tronque (" + std::to_string(fileSize) + " octets au lieu de " + std::to_string(expected) + ")";
        return false;
    }
    if (fileSize > expected) {
        why = "donnees inattendues apres les sommes (extension d'un type d'accumulateur inconnu ?)";
        return false;
    }

    // The data, checked against its checksums and against what its frames could add.
    header.reference.width = std::int32_t(width);
    header.reference.height = std::int32_t(height);
    header.reference.x0 = std::int32_t(x0);
    header.reference.y0 = std::int32_t(y0);
    header.reference.checksum = std::strtoull(referenceSum.c_str(), nullptr, 16);
    header.framesListed = listed;
    header.framesAdded = added;
    header.runs = runs;
    sums.assign(std::size_t(width) * std::size_t(height), CompositeCell{{0, 0, 0}});
    const std::uint64_t highest = 255 * std::uint64_t(added);
    const std::size_t rowBytes = std::size_t(width) * 4;
    std::vector<char> row(rowBytes);
    std::uint32_t dataSum = 0;
    bool tooLarge = false;
    for (int plane = 0; plane < kPlanes; ++plane)
        for (std::int32_t r = 0; r < std::int32_t(height); ++r) {
            if (!readFully(file.get(), row.data(), rowBytes)) {
                why = "lecture impossible des sommes";
                return false;
            }
            dataSum = onesComplementSum(row.data(), rowBytes, dataSum);
            if (!readRow(row.data(), std::int32_t(width), std::int32_t(height), plane, r, highest, sums))
                tooLarge = true;
        }
    std::vector<char> fill(std::size_t(expected - head.size() - dataBytes));
    if (!fill.empty() && !readFully(file.get(), fill.data(), fill.size())) {
        why = "lecture impossible des sommes";
        return false;
    }
    dataSum = onesComplementSum(fill.data(), fill.size(), dataSum);
    const std::uint32_t hduSum = onesComplementSum(head.data(), head.size(), dataSum);
    if (std::to_string(dataSum) != dataSumText || hduSum != 0xFFFFFFFFu) {
        why = "fichier endommage (sommes de controle DATASUM/CHECKSUM fausses)";
        return false;
    }
    if (tooLarge) {
        why = "fichier endommage (une somme depasse 255 x le nombre d'images ajoutees)";
        return false;
    }
    return true;
}
