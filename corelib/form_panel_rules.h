// Rules of the form panel that do not depend on a window system: the inset of
// a hosted form and the lookup of a form by name or caption.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qw {

enum class BevelKind { kNone, kLowered, kRaised };

struct PanelFrame {
  int BorderWidth = 0;
  bool SingleBorder = false;
  BevelKind BevelInner = BevelKind::kNone;
  BevelKind BevelOuter = BevelKind::kNone;
  int BevelWidth = 1;
};

struct FormBounds {
  int Left = 0, Top = 0, Width = 0, Height = 0;
  bool operator==(const FormBounds&) const = default;
};

// BorderWidth, plus 1 for a single border, plus BevelWidth for each bevel
// that is not none.
int FormPanelInset(const PanelFrame& frame);

// The bounds of a form hosted in a panel of the given size: inset on every
// side. Sizes never go below zero.
FormBounds HostedFormBounds(const PanelFrame& frame, int panelWidth, int panelHeight);

// The index of the last of `texts` (the application's forms in the screen's
// order) equal to `wanted`, letter case included; none for an empty `wanted`
// or no match.
std::optional<size_t> FindLastForm(const std::vector<std::string>& texts, const std::string& wanted);

}  // namespace qw
