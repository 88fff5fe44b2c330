#include "ui/menu_resources.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QString>

#include <iterator>

#include "res/resource.h"
#include "ui/qt_text.h"

namespace {

struct MenuItemResource {
  int id;  // 0: separator
  const char* text;
  bool checkable;
  bool checked;
};

struct PopupResource {
  const char* title;
  const MenuItemResource* items;
  int count;
};

const MenuItemResource kFileItems[] = {
    {ID_FILE_CREATE_OPCSERVER, "创建OpcServer", false, false},
    {ID_FILE_DESTROY_OPCSERVER, "销毁OpcServer", false, false},
    {0, nullptr, false, false},
    {ID_APP_EXIT, "退出(&X)", false, false},
};

const MenuItemResource kViewItems[] = {
    {ID_VIEW_HIDE, "隐藏(&H)", false, false},
    {ID_VIEW_LOG_VALUE_CHANGES, "输出值改变信息", true, false},
    {ID_VIEW_LOG_VALUE_WRITES, "输出值写入信息", true, false},
    {ID_VIEW_LOG_GROUP_OPS, "输出组操作信息", true, true},
    {ID_VIEW_LOG_ITEM_OPS, "输出数据项操作信息", true, false},
};

const MenuItemResource kHelpItems[] = {
    {ID_APP_ABOUT, "关于该软件(&A)...", false, false},
    {ID_HELP_USAGE, "命令行参数 ...", false, false},
};

const MenuItemResource kTrayItems[] = {
    {ID_TRAY_RESTORE, "还原(&S)", false, false},
    {ID_APP_EXIT, "退出(&X)", false, false},
    {0, nullptr, false, false},
    {ID_APP_ABOUT, "关于(&A)...", false, false},
};

const PopupResource kMainMenu[] = {
    {"文件(&F)", kFileItems, static_cast<int>(std::size(kFileItems))},
    {"视图(V)", kViewItems, static_cast<int>(std::size(kViewItems))},
    {"帮助(&H)", kHelpItems, static_cast<int>(std::size(kHelpItems))},
};

// The status-bar prompt of a command: the string with the command's id, up to its first line
// break (the string table's prompts may carry a tooltip after it). Only the hide and the
// value-change items have one.
QString PromptOf(int id) {
  if (id != ID_VIEW_HIDE && id != ID_VIEW_LOG_VALUE_CHANGES) return {};
  const QString text = ResourceText(id);
  return text.left(text.indexOf(QLatin1Char('\n')));
}

void FillPopup(QMenu& menu, const PopupResource& popup) {
  for (int i = 0; i < popup.count; ++i) {
    const MenuItemResource& item = popup.items[i];
    if (item.id == 0) {
      menu.addSeparator();
      continue;
    }
    QAction* action = menu.addAction(QString::fromUtf8(item.text));
    action->setData(item.id);
    action->setCheckable(item.checkable);
    action->setChecked(item.checked);
    action->setStatusTip(PromptOf(item.id));
  }
}

}  // namespace

void LoadMainMenu(QMenuBar& bar) {
  for (const PopupResource& popup : kMainMenu) {
    QMenu* menu = bar.addMenu(QString::fromUtf8(popup.title));
    FillPopup(*menu, popup);
  }
}

std::unique_ptr<QMenu> LoadTrayMenu(QWidget* parent) {
  auto menu = std::make_unique<QMenu>(QStringLiteral("TrayMenu"), parent);
  FillPopup(*menu, {"TrayMenu", kTrayItems, static_cast<int>(std::size(kTrayItems))});
  return menu;
}

int CommandIdOf(const QAction& action) {
  bool ok = false;
  const int id = action.data().toInt(&ok);
  return ok ? id : 0;
}

QAction* FindCommand(const QMenu& menu, int commandId) {
  for (QAction* action : menu.actions()) {
    if (action->menu() != nullptr) {
      if (QAction* found = FindCommand(*action->menu(), commandId)) return found;
    } else if (!action->isSeparator() && CommandIdOf(*action) == commandId) {
      return action;
    }
  }
  return nullptr;
}
