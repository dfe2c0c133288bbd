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

// Gives the window a region made in its client coordinates (as
// region_from_bitmap makes it for a skin drawn at the client origin). The
// system takes a window region in window coordinates, which for a window
// with a border start one border width further out: the region is moved by
// the client area's offset first. The window owns the region afterwards.
BOOL set_client_region(HWND window, HRGN region);

// A palette of the colours that the bitmaps (DIB sections of up to 8 bits
// per pixel; others are passed over) use, at most 236 of them, the entries
// a 256-colour display leaves beside its 20 static colours. Null when there
// are none. The caller owns it.
HPALETTE palette_from_bitmaps(const HBITMAP *bitmaps, int count);

// What shows of a window on the screen: its window rectangle cut to the box
// of its window region when it has one. Screen coordinates.
RECT visible_rect(HWND window);

// Moves the window (keeping its size) so that what shows of it is centred
// over what shows of over, or over the work area of the screen when over is
// null, hidden or minimised; what shows of it stays inside the work area.
void centre_visible_over(HWND window, HWND over);
