// The package selection menu: a full-screen dialogue on the 80x25 console in which the operator
// chooses packages (dependencies follow automatically) and how to install them. It draws with
// the console layer's fixed escape sequences and reads raw key bytes itself.
#pragma once

#include "packages/catalogue.h"

// The package that is always chosen and cannot be deselected directly.
extern const char* const minimumPackage;

// Shows the menu until the operator leaves it. True to install (remoteRequested then tells a
// remote router from this machine), false when the operator cancels or input ends.
// `menu.entries` must not be empty. The selection is left in the entries' `selected` flags.
bool runPackageMenu(PackageMenu& menu);

// Selection changes; none of them draws.
void selectAll(PackageMenu& menu);
void selectMinimum(PackageMenu& menu);
// Selects the entry with all it depends on, or deselects it with every entry that requires it.
void togglePackage(PackageMenu& menu, unsigned index);

// Draws one entry in its place; an entry on a page not shown is not drawn.
void drawEntry(PackageMenu& menu, unsigned index);
// Draws the name, dependencies and description of the current entry in the information area.
void drawInfo(PackageMenu& menu);
