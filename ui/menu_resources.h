// The window's menus as resources: the main menu (resource 128: File, View, Help) and the tray
// menu (resource 135, popup "TrayMenu"), built as Qt menus with the exact texts, order, ids and
// initial check marks.
//
// Every item is a QAction whose data() holds its command id; separators carry no id. The four
// View-menu log switches are checkable; only "输出组操作信息" starts checked. The hide item and
// the value-change item carry the status-bar prompts of strings 32780 and 32782.
// Error rule: nothing fails. Thread rule: UI thread only. Ownership: the menu bar owns what
// LoadMainMenu adds; LoadTrayMenu's caller owns the popup.
#pragma once

#include <memory>

class QAction;
class QMenu;
class QMenuBar;
class QWidget;

// Adds the popups "文件(&F)", "视图(V)" and "帮助(&H)" to bar.
void LoadMainMenu(QMenuBar& bar);
// The popup "TrayMenu": "还原(&S)", "退出(&X)", separator, "关于(&A)...".
std::unique_ptr<QMenu> LoadTrayMenu(QWidget* parent = nullptr);
// The command id of a menu item (0 for a separator or another action).
int CommandIdOf(const QAction& action);
// The item with a command id in a menu or its submenus, or null.
QAction* FindCommand(const QMenu& menu, int commandId);
