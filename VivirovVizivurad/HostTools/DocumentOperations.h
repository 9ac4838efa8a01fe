#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vivirov {

// The document and workspace operations the host tools call; kit() is the
// kit's DocumentTools, tests put a recorder in its place. Each answers one
// text for the model and never throws.
class DocumentOperations {
public:
    virtual ~DocumentOperations() = default;
    virtual std::string extract(const std::string& path, int64_t maxChars) = 0;
    virtual std::string createDocx(const std::string& path, const std::string& content) = 0;
    virtual std::string createDocxRich(const std::string& path, const std::string& title,
                                       const std::string& content) = 0;
    virtual std::string excelSumColumn(const std::string& path, const std::string& column, int64_t startRow,
                                       int64_t endRow) = 0;
    virtual std::string documentEdit(const std::string& path, const std::string& instruction, const std::string& find,
                                     const std::string& replace) = 0;
    virtual std::string excelQuery(const std::string& path, const std::string& query) = 0;
    virtual std::string excelUpdate(const std::string& path, const std::string& cell, const std::string& value) = 0;
    virtual std::string pdfFillForm(const std::string& path, const std::string& fieldsJSON) = 0;
    virtual std::string pptCreate(const std::string& path, const std::string& slides) = 0;
    virtual std::string convert(const std::string& path, const std::string& format,
                                const std::optional<std::string>& outputPath) = 0;
    virtual std::string workspaceScan(const std::string& root, const std::string& query, int64_t limit) = 0;
    virtual std::string workspaceSearch(const std::string& root, const std::string& pattern, int64_t limit) = 0;
    virtual std::string fileTree(const std::string& root, int64_t depth) = 0;

    static std::shared_ptr<DocumentOperations> kit();
};

} // namespace vivirov
