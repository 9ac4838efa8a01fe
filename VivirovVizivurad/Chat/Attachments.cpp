#include "VivirovVizivurad/Chat/Attachments.h"

#include <QImageReader>
#include <QString>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "VivirovKit/Support/Text.h"
#include "VivirovVizivurad/Chat/VisionPreprocessor.h"

namespace vivirov::Attachments {

namespace fs = std::filesystem;

namespace {

const std::set<std::string>& textExtensions() {
    static const std::set<std::string> extensions{
        "swift", "py", "md", "txt", "json", "ts", "tsx", "js", "jsx", "rs", "c", "cpp", "cc", "h",
        "hpp", "go", "java", "kt", "sh", "bash", "zsh", "yaml", "yml", "toml", "html", "css", "sql", "rb"};
    return extensions;
}

const std::set<std::string>& imageExtensions() {
    static const std::set<std::string> extensions{"png", "jpg", "jpeg", "gif", "bmp", "tiff", "tif", "heic", "webp"};
    return extensions;
}

std::string lastComponent(const std::string& path) {
    return fs::path(path).filename().string();
}

bool fitsIn(const std::string& path, uintmax_t limit) {
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return !error && size <= limit;
}

} // namespace

std::string lowerExtension(const std::string& path) {
    std::string extension = fs::path(path).extension().string();
    if (!extension.empty()) extension.erase(0, 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return extension;
}

bool isAttachableText(const std::string& path) {
    return textExtensions().count(lowerExtension(path)) > 0;
}

bool isImage(const std::string& path) {
    return imageExtensions().count(lowerExtension(path)) > 0;
}

std::optional<Attachment> loadText(const std::string& path) {
    if (!isAttachableText(path) || !fitsIn(path, maxTextBytes)) return std::nullopt;
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::string content{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (file.bad()) return std::nullopt;
    // Well-formed UTF-8 is exactly what the lossy decoder leaves unchanged.
    if (text::decodeUTF8Lossy(content) != content) return std::nullopt;
    return Attachment{UUID::random(), lastComponent(path), std::move(content)};
}

std::optional<ImageAttachment> loadImage(const std::string& path) {
    if (!isImage(path) || !fitsIn(path, maxImageBytes)) return std::nullopt;
    QImageReader reader(QString::fromStdString(path));
    reader.setAutoTransform(true); // camera photos carry their orientation
    const QImage image = reader.read();
    if (image.isNull()) return std::nullopt;
    return VisionPreprocessor::process(image, lastComponent(path));
}

Batch load(const std::vector<std::string>& paths) {
    Batch batch;
    for (const auto& path : paths) {
        if (isImage(path)) {
            if (auto image = loadImage(path)) {
                batch.images.push_back(std::move(*image));
                continue;
            }
        } else if (auto text = loadText(path)) {
            batch.texts.push_back(std::move(*text));
            continue;
        }
        batch.refused.push_back(lastComponent(path));
    }
    return batch;
}

std::optional<std::string> refusedNotice(const std::vector<std::string>& names) {
    if (names.empty()) return std::nullopt;
    std::string notice = "Can't attach " + names[0];
    if (names.size() >= 2) notice += ", " + names[1];
    if (names.size() >= 3) notice += " +" + std::to_string(names.size() - 2) + " more";
    return notice + " \xE2\x80\x94 code, text & images only";
}

} // namespace vivirov::Attachments
