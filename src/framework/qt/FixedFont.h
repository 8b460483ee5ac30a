// The fixed-width font of text windows (the wire trace), chosen by what the
// user sees: every glyph as wide as every other.  A font the font system does
// not mark as fixed pitch but whose glyphs are all of one width is fine; one
// marked fixed whose glyphs differ is not.
#pragma once

#include <QFont>

namespace fw {

// Whether digits, letters narrow and wide, blanks and signs all advance alike.
bool HasEqualAdvances(const QFont& font);

// The system's fixed font when its glyphs are of equal width, else the first
// installed family whose glyphs are, at the same size; the system's fixed
// font when none is.
QFont FixedWidthFont();

}  // namespace fw
