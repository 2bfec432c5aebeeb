#include "ui/layout.h"

#include <cstring>
#include <utility>

namespace ui {

namespace assets {
// Generated at build time from ui/assets/ (cmake/embed-assets.cmake).
struct Entry {
  const char* name;
  const std::uint8_t* data;
  std::size_t size;
};
extern const Entry kEntries[];
extern const std::size_t kEntryCount;
}  // namespace assets

namespace {

std::span<const std::uint8_t> Asset(const char* file) {
  if (file == nullptr) return {};
  for (std::size_t i = 0; i < assets::kEntryCount; ++i) {
    if (std::strcmp(assets::kEntries[i].name, file) == 0)
      return {assets::kEntries[i].data, assets::kEntries[i].size};
  }
  return {};
}

}  // namespace

ControlId PageOf(ControlId id) {
  const ControlDef& s = Def(id);
  if (s.Kind == ControlKind::ckWindow || s.Parent == ControlId::frmMain) return ControlId::frmMain;
  return s.Parent;
}

std::vector<ControlId> Children(ControlId parent) {
  std::vector<ControlId> out;
  for (const ControlDef& s : kLayout) {
    if (s.Kind != ControlKind::ckWindow && s.Parent == parent) out.push_back(s.Id);
  }
  return out;
}

std::vector<ControlId> TabOrder(ControlId page) {
  // Ordered by tab order; controls with the same one keep the table's order (an insertion sort
  // of the page's few controls).
  std::vector<ControlId> out;
  for (ControlId id : Children(page)) {
    const int order = Def(id).TabOrder;
    if (order < 0) continue;
    out.push_back(id);
    for (std::size_t i = out.size() - 1; i > 0 && Def(out[i - 1]).TabOrder > order; --i)
      std::swap(out[i - 1], out[i]);
  }
  return out;
}

ControlId DefaultButton(ControlId page) {
  for (ControlId id : Children(page)) {
    if (Def(id).Default) return id;
  }
  return ControlId::frmMain;
}

ControlId CancelButton(ControlId page) {
  for (ControlId id : Children(page)) {
    if (Def(id).Cancel) return id;
  }
  return ControlId::frmMain;
}

int LabelLeft(const ControlDef& def, int text_width) {
  if (def.Alignment == Align::alRight) return def.Left + def.Width - text_width;
  return def.Left;
}

std::span<const std::uint8_t> PictureData(Picture p) {
  return Asset(PictureInfo(p).File);
}

std::span<const std::uint8_t> IconData() {
  return Asset(kIconFile);
}

}  // namespace ui
