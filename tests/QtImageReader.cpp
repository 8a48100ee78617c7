// Linked into the test programs that load Windows bitmaps or icons: installs Qt's image reader
// before any test runs, as the programs do at start-up.
#include "platform/qt/QtImage.h"

namespace {

const bool installed = (InstallQtImageReader(), true);

} // namespace
