#pragma once
#include <QIcon>
#include <QPixmap>
// The program's icon (a camera with a signal arc), drawn at run time.
QIcon TarvexIcon();
// The same drawing at one size, for the icon files of the desktop menu.
QPixmap TarvexIconPixmap(int size);
