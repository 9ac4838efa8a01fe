#include "VivirovVizivurad/HostTools/DocumentOperations.h"

#include "VivirovKit/Tools/Documents/DocumentTools.h"

namespace vivirov {

namespace {

class KitDocumentOperations final : public DocumentOperations {
public:
    std::string extract(const std::string& path, int64_t maxChars) override {
        return DocumentTools::extract(path, maxChars);
    }
    std::string createDocx(const std::string& path, const std::string& content) override {
        return DocumentTools::createDocx(path, content);
    }
    std::string createDocxRich(const std::string& path, const std::string& title, const std::string& content) override {
        return DocumentTools::createDocxRich(path, title, content);
    }
    std::string excelSumColumn(const std::string& path, const std::string& column, int64_t startRow,
                               int64_t endRow) override {
        return DocumentTools::excelSumColumn(path, column, startRow, endRow);
    }
    std::string documentEdit(const std::string& path, const std::string& instruction, const std::string& find,
                             const std::string& replace) override {
        return DocumentTools::documentEdit(path, instruction, find, replace);
    }
    std::string excelQuery(const std::string& path, const std::string& query) override {
        return DocumentTools::excelQuery(path, query);
    }
    std::string excelUpdate(const std::string& path, const std::string& cell, const std::string& value) override {
        return DocumentTools::excelUpdate(path, cell, value);
    }
    std::string pdfFillForm(const std::string& path, const std::string& fieldsJSON) override {
        return DocumentTools::pdfFillForm(path, fieldsJSON);
    }
    std::string pptCreate(const std::string& path, const std::string& slides) override {
        return DocumentTools::pptCreate(path, slides);
    }
    std::string convert(const std::string& path, const std::string& format,
                        const std::optional<std::string>& outputPath) override {
        return DocumentTools::convert(path, format, outputPath);
    }
    std::string workspaceScan(const std::string& root, const std::string& query, int64_t limit) override {
        return DocumentTools::workspaceScan(root, query, limit);
    }
    std::string workspaceSearch(const std::string& root, const std::string& pattern, int64_t limit) override {
        return DocumentTools::workspaceSearch(root, pattern, limit);
    }
    std::string fileTree(const std::string& root, int64_t depth) override {
        return DocumentTools::fileTree(root, depth);
    }
};

} // namespace

std::shared_ptr<DocumentOperations> DocumentOperations::kit() { return std::make_shared<KitDocumentOperations>(); }

} // namespace vivirov
