#include "model/file_path.h"

#include <QFile>

namespace taln {

std::filesystem::path toPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

} // namespace taln
