#pragma once
#include <QIcon>
// The program's icon (a camera with a signal arc), drawn at run time.
QIcon TarvexIcon();
