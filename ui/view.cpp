#include "ui/view.h"

namespace ui {

bool ApplyHover(View& view, ControlId control, bool entered) {
  if (entered && control == ControlId::imgBtnInstall) {
    view.SetVisible(ControlId::imgBtnInstall, false);
    view.SetVisible(ControlId::imgBtnInstallHg, true);
    return true;
  }
  if (!entered && control == ControlId::imgBtnInstallHg) {
    view.SetVisible(ControlId::imgBtnInstallHg, false);
    view.SetVisible(ControlId::imgBtnInstall, true);
    return true;
  }
  return false;
}

}  // namespace ui
