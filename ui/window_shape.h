// Window shape and scaling: a region made of a bitmap's pixels, and child
// controls rescaled from a design size to the window's client size.
#pragma once
#include <windows.h>

// The union of the bitmap's pixels that differ from key (transparent != 0)
// or equal it (transparent == 0); the low three bytes of key are compared.
// Null when no region could be built. The caller owns the region.
HRGN region_from_bitmap(HBITMAP bitmap, COLORREF key, int transparent);

// Moves and resizes every child by client size / design size.
BOOL scale_child_windows(HWND window, int design_width, int design_height);
