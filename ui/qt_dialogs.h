// How the desktop responder builds its dialogs, shared with the screenshot
// run that shows them without waiting for an answer.
#pragma once

#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

#include "ui/menu_text.h"
#include "ui/responder.h"

namespace ui {

// One action per item, one separator per separator; each action carries its
// entry index (QAction::data) and is disabled as the entry says.
void fill_menu(QMenu& menu, const std::vector<MenuEntry>& entries);

// A message box with the request's texts, icon and buttons; each button's
// property "markfit_button" holds its Button code.
std::unique_ptr<QMessageBox> make_message_box(const MessageRequest& request, QWidget* parent = nullptr);

// "Html files (*.htm *.HTM)"; "*.*" is every file, with or without a dot.
QStringList qt_name_filters(const std::vector<FileFilter>& filters);

}  // namespace ui
