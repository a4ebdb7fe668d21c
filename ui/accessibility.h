// What screen readers are told about the main window's controls beyond what
// Qt tells them by itself.
#pragma once

namespace accessibility {

// Makes the interfaces below the ones that serve every widget created from
// now on (a widget already described keeps its interface):
// - a combo box is called by its accessible name, not by its current entry;
// - a progress bar reports its value as a percentage, 0 to 100, whatever
//   scale it counts on;
// - a label that has an accessible name of its own still offers its text.
void install();

} // namespace accessibility
