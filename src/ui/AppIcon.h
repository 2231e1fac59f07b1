#pragma once
// The application icon, drawn at run time so the front end needs no resource files.
#include <QIcon>

namespace kestrel::ui {

// GUI thread only (builds pixmaps).
QIcon ApplicationIcon();

}  // namespace kestrel::ui
