#include "ui/layout.h"

#include <algorithm>
#include <cstring>

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
  const ControlSpec& s = Spec(id);
  if (s.Kind == ControlKind::ckWindow || s.Parent == ControlId::frmMain) return ControlId::frmMain;
  return s.Parent;
}

std::vector<ControlId> Children(ControlId parent) {
  std::vector<ControlId> out;
  for (const ControlSpec& s : kLayout) {
    if (s.Kind != ControlKind::ckWindow && s.Parent == parent) out.push_back(s.Id);
  }
  return out;
}

std::vector<ControlId> TabOrder(ControlId page) {
  std::vector<ControlId> out;
  for (ControlId id : Children(page)) {
    if (Spec(id).TabOrder >= 0) out.push_back(id);
  }
  std::stable_sort(out.begin(), out.end(),
                   [](ControlId a, ControlId b) { return Spec(a).TabOrder < Spec(b).TabOrder; });
  return out;
}

ControlId DefaultButton(ControlId page) {
  for (ControlId id : Children(page)) {
    if (Spec(id).Default) return id;
  }
  return ControlId::frmMain;
}

ControlId CancelButton(ControlId page) {
  for (ControlId id : Children(page)) {
    if (Spec(id).Cancel) return id;
  }
  return ControlId::frmMain;
}

int LabelLeft(const ControlSpec& spec, int text_width) {
  if (spec.Alignment == Align::alRight) return spec.Left + spec.Width - text_width;
  return spec.Left;
}

std::span<const std::uint8_t> PictureData(Picture p) {
  return Asset(PictureInfo(p).File);
}

std::span<const std::uint8_t> IconData() {
  return Asset(kIconFile);
}

}  // namespace ui
