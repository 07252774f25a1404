#include "qr/qt_image.hpp"

#include <iterator>
#include <stdexcept>
#include <string>

namespace tav::qr {

namespace {

struct QtModules {
    nb::module_ gui, core;
};

QtModules import_qt() {
    static constexpr const char* bindings[] = {"PySide2", "PySide", "PySide6"};
    for (size_t i = 0;; ++i) {
        try {
            std::string name = bindings[i];
            return {nb::module_::import_((name + ".QtGui").c_str()),
                    nb::module_::import_((name + ".QtCore").c_str())};
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_ImportError) || i + 1 == std::size(bindings)) throw;
        }
    }
}

}  // namespace

QtImage::QtImage(const Geometry& geometry) : geometry_(geometry) {
    QtModules qt = import_qt();
    // Qt ends the whole process (the host) when a pixmap is made without a GUI application, so
    // that case becomes an error here. Qt 4 has no QGuiApplication; its QApplication is in QtGui.
    nb::object app_class = nb::hasattr(qt.gui, "QGuiApplication") ? qt.gui.attr("QGuiApplication")
                                                                  : qt.gui.attr("QApplication");
    if (!nb::isinstance(qt.core.attr("QCoreApplication").attr("instance")(), app_class))
        throw std::runtime_error(
            "get_qr_image_qt needs a QGuiApplication: a QPixmap cannot exist without one");

    gui_ = qt.gui;
    nb::object colors = qt.core.attr("Qt");
    black_ = colors.attr("black");
    nb::object image_class = gui_.attr("QImage");
    int side = geometry_.pixel_size();
    image_ = image_class(side, side, image_class.attr("Format_RGB16"));
    image_.attr("fill")(colors.attr("white"));
    // One painter for all modules. Should drawing fail, dropping the painter ends it.
    painter_ = gui_.attr("QPainter")(image_);
}

void QtImage::drawrect(int row, int col) {
    int box = geometry_.box_size;
    painter_.attr("fillRect")(geometry_.left(col), geometry_.top(row), box, box, black_);
}

nb::object QtImage::pixmap() {
    painter_.attr("end")();
    return gui_.attr("QPixmap").attr("fromImage")(image_);
}

}  // namespace tav::qr
