#include "model/exception_text.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <new>

namespace taln {

QString describeCurrentException() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return QString::fromLocal8Bit(std::strerror(ENOMEM));
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QString::fromLocal8Bit(std::strerror(EIO));
    }
}

} // namespace taln
