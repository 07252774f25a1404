// The QR code as a Qt pixmap, painted through the host's own Qt Python binding. Qt is looked up
// only here and only when a pixmap is asked for: nothing else in the module needs it.
#pragma once

#include <nanobind/nanobind.h>

#include "qr/geometry.hpp"

namespace tav::qr {

namespace nb = nanobind;

// A white Format_RGB16 QImage on which dark modules are painted black. Holding the GIL, in the
// host's GUI thread.
class QtImage {
  public:
    // Imports QtGui and QtCore from PySide2, else PySide, else PySide6; when none imports, the
    // last ImportError propagates (nb::python_error). Throws std::runtime_error when no
    // QGuiApplication exists, as Qt would abort the process on the first pixmap.
    explicit QtImage(const Geometry& geometry);

    void drawrect(int row, int col);  // paints the module at (row, col) black
    nb::object pixmap();              // ends painting; QPixmap.fromImage of the image

  private:
    Geometry geometry_;
    nb::object gui_, black_, image_, painter_;
};

}  // namespace tav::qr
