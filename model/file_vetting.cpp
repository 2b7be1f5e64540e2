#include "model/file_vetting.h"

#include <QFile>
#include <stdexcept>
#include <system_error>

namespace taln {

void refuseSpecialFile(const std::filesystem::path& file, const QString& name) {
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (ec || !std::filesystem::exists(status) || std::filesystem::is_regular_file(status) ||
        std::filesystem::is_directory(status)) {
        return;
    }
    throw std::runtime_error((name + QStringLiteral(": Not a regular file")).toStdString());
}

std::filesystem::path toPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

} // namespace taln
