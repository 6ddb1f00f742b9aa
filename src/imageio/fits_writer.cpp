#include "imageio/fits_writer.h"

#include <cstdio>
#include <cstring>

#include "driver/run_settings.h"
#include "imageio/output_file.h"
#include "imageio/pixel_rows.h"

namespace {

constexpr std::size_t kFitsBlock = 2880;

void writeCard(std::string& out, const char* keyword, const char* valueText) {
    const std::size_t keywordLength = std::strlen(keyword);
    const std::size_t valueLength = std::strlen(valueText);
    out += keyword;
    out.append(8 - keywordLength, ' ');
    out += '=';
    out.append(21 - valueLength, ' ');
    out += valueText;
    out.append(50, ' ');
}

}   // namespace

void writeIntegerCard(std::string& out, const char* keyword, std::int32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%i", value);
    writeCard(out, keyword, text);
}

void writeCharacterCard(std::string& out, const char* keyword, char value) {
    const char text[2] = {value, '\0'};
    writeCard(out, keyword, text);
}

bool writeFitsChannel(const char* path, int channel) {
    const RunSettings& s = settings;
    const std::int32_t width = s.reference.width, height = s.reference.height;
    const float fitsScale = s.imageCount <= 126 ? float(s.imageCount) : 127.0f;

    std::string out;
    writeCharacterCard(out, "SIMPLE", 'T');
    writeIntegerCard(out, "BITPIX", 16);
    writeIntegerCard(out, "NAXIS", 2);
    writeIntegerCard(out, "NAXIS1", width);
    writeIntegerCard(out, "NAXIS2", height);
    writeIntegerCard(out, "MIPS-HI", std::int32_t(fitsScale * 256.0f));
    writeIntegerCard(out, "MIPS-LO", 0);
    out += "END";
    out.append(kFitsBlock - out.size(), ' ');

    if (width > 0 && height > 0) {
        const std::size_t header = out.size();
        out.resize(header + std::size_t(width) * std::size_t(height) * 2);
        writeFitsRows(channel, out.data() + header);
    }
    out.append((kFitsBlock - out.size() % kFitsBlock) % kFitsBlock, '\0');

    OutputFile file;
    if (const OutputOpen opened = openOutput(file, path); opened != OutputOpen::opened) {
        std::printf("Erreur : impossible de creer le fichier %s%s\n", path,
                    opened == OutputOpen::folder ? " (c'est un dossier)" : "");
        return false;
    }
    bool ok = std::fwrite(out.data(), 1, out.size(), file.file) == out.size();
    if (!ok) discardOutput(file);
    if (!ok || !commitOutput(file, true)) {
        ok = false;
        std::printf("Erreur : ecriture incomplete du fichier %s (disque plein ?)\n", path);
    }
    return ok;
}
