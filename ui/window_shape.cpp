// Window shape and scaling.
//
// Rectangles are collected in one growing block and turned into a region
// every 2000; when the block cannot be allocated or enlarged, the rectangles
// collected so far are turned into a region at once and collection goes on
// in the same block, so a shortage costs speed, never pixels.
#include "ui/window_shape.h"

#include <cstring>

namespace {

enum { batch_limit = 2000, growth = 100, header_size = sizeof(RGNDATAHEADER) };

struct region_builder {
    HGLOBAL block = nullptr;
    RGNDATA *data = nullptr;
    DWORD capacity = 0;
    HRGN result = nullptr;

    DWORD block_size() const { return header_size + sizeof(RECT) * capacity; }

    void empty_bounds() {
        data->rdh.nCount = 0;
        ::SetRect(&data->rdh.rcBound, 0x7FFFFFFF, 0x7FFFFFFF, 0, 0);
    }

    bool start() {
        block = ::GlobalAlloc(GMEM_MOVEABLE, header_size + sizeof(RECT) * growth);
        if (!block) return false;
        capacity = growth;
        data = (RGNDATA *)::GlobalLock(block);
        if (!data) return false;
        data->rdh.dwSize = header_size;
        data->rdh.iType = RDH_RECTANGLES;
        data->rdh.nRgnSize = 0;
        empty_bounds();
        return true;
    }

    void flush() {
        HRGN part = ::ExtCreateRegion(nullptr, block_size(), data);
        if (part) {
            if (result) {
                ::CombineRgn(result, result, part, RGN_OR);
                ::DeleteObject(part);
            } else {
                result = part;
            }
        }
        empty_bounds();
    }

    bool grow() {
        ::GlobalUnlock(block);
        HGLOBAL bigger = ::GlobalReAlloc(block, header_size + sizeof(RECT) * (capacity + growth), GMEM_MOVEABLE);
        if (bigger) {
            block = bigger;
            capacity += growth;
        }
        data = (RGNDATA *)::GlobalLock(block);
        return bigger != nullptr;
    }

    void add(int left, int top, int right, int bottom) {
        if (data->rdh.nCount >= capacity && !grow()) flush();
        RECT *rects = (RECT *)data->Buffer;
        ::SetRect(&rects[data->rdh.nCount], left, top, right, bottom);
        RECT &b = data->rdh.rcBound;
        if (left < b.left) b.left = left;
        if (top < b.top) b.top = top;
        if (right > b.right) b.right = right;
        if (bottom > b.bottom) b.bottom = bottom;
        if (++data->rdh.nCount == batch_limit) flush();
    }

    void finish() {
        if (block) {
            if (data) ::GlobalUnlock(block);
            ::GlobalFree(block);
        }
    }
};

bool belongs(const BYTE *pixel, COLORREF key, int transparent) {
    bool is_key = pixel[0] == (BYTE)(key & 0xFF) && pixel[1] == (BYTE)((key >> 8) & 0xFF) &&
                  pixel[2] == (BYTE)((key >> 16) & 0xFF);
    return transparent ? !is_key : is_key;
}

struct scale_ratios {
    double x, y;
};

BOOL CALLBACK scale_child(HWND child, LPARAM lparam) {
    const scale_ratios *r = (const scale_ratios *)lparam;
    RECT rect;
    ::GetWindowRect(child, &rect);
    int left = (int)(rect.left / r->x), right = (int)(rect.right / r->x);
    int top = (int)(rect.top / r->y), bottom = (int)(rect.bottom / r->y);
    POINT origin = {left, top};
    ::ScreenToClient(::GetParent(child), &origin);
    ::MoveWindow(child, origin.x, origin.y, right - left, bottom - top, TRUE);
    return TRUE;
}

}  // namespace

HRGN region_from_bitmap(HBITMAP bitmap, COLORREF key, int transparent) {
    if (!bitmap) return nullptr;
    HDC memory = ::CreateCompatibleDC(nullptr);
    if (!memory) return nullptr;
    HRGN result = nullptr;
    BITMAP bm;
    std::memset(&bm, 0, sizeof bm);
    ::GetObjectA(bitmap, sizeof bm, &bm);
    BITMAPINFOHEADER header;
    std::memset(&header, 0, sizeof header);
    header.biSize = sizeof header;
    header.biWidth = bm.bmWidth;
    header.biHeight = bm.bmHeight;
    header.biPlanes = 1;
    header.biBitCount = 32;
    header.biCompression = BI_RGB;
    void *bits = nullptr;
    HBITMAP dib = ::CreateDIBSection(memory, (BITMAPINFO *)&header, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!dib) {
        ::DeleteDC(memory);
        return nullptr;
    }
    HGDIOBJ old_dib = ::SelectObject(memory, dib);
    HDC source = ::CreateCompatibleDC(memory);
    if (source) {
        BITMAP dib_info;
        ::GetObjectA(dib, sizeof dib_info, &dib_info);
        LONG row_bytes = (dib_info.bmWidthBytes + 3) & ~3;
        HGDIOBJ old_source = ::SelectObject(source, bitmap);
        ::BitBlt(memory, 0, 0, bm.bmWidth, bm.bmHeight, source, 0, 0, SRCCOPY);
        ::GdiFlush();
        region_builder builder;
        if (builder.start()) {
            // Bottom-up DIB: the image's top row is the last row in memory.
            const BYTE *row = (const BYTE *)dib_info.bmBits + (size_t)(bm.bmHeight - 1) * row_bytes;
            for (int y = 0; y < bm.bmHeight; ++y, row -= row_bytes) {
                for (int x = 0; x < bm.bmWidth; ++x) {
                    int x0 = x;
                    while (x < bm.bmWidth && belongs(row + 4 * x, key, transparent)) ++x;
                    if (x > x0) builder.add(x0, y, x, y + 1);
                }
            }
            builder.flush();
            result = builder.result;
        }
        builder.finish();
        ::SelectObject(source, old_source);
        ::DeleteDC(source);
    }
    ::SelectObject(memory, old_dib);
    ::DeleteObject(dib);
    ::DeleteDC(memory);
    return result;
}

BOOL scale_child_windows(HWND window, int design_width, int design_height) {
    RECT client;
    ::GetClientRect(window, &client);
    scale_ratios r = {(double)client.right / design_width, (double)client.bottom / design_height};
    return ::EnumChildWindows(window, scale_child, (LPARAM)&r);
}

HPALETTE palette_from_bitmaps(const HBITMAP *bitmaps, int count) {
    enum { most = 236 };
    PALETTEENTRY colours[most];
    int n = 0;
    HDC dc = ::CreateCompatibleDC(nullptr);
    if (!dc) return nullptr;
    for (int b = 0; b < count && n < most; ++b) {
        DIBSECTION ds;
        if (!bitmaps[b] || ::GetObjectA(bitmaps[b], sizeof ds, &ds) != (int)sizeof ds) continue;
        int bits = ds.dsBm.bmBitsPixel;
        if (bits != 1 && bits != 4 && bits != 8) continue;
        const BYTE *pixels = (const BYTE *)ds.dsBm.bmBits;
        if (!pixels) continue;
        RGBQUAD table[256];
        HGDIOBJ old = ::SelectObject(dc, bitmaps[b]);
        if (!old) continue;  // selected elsewhere
        UINT entries = ::GetDIBColorTable(dc, 0, 256, table);
        ::SelectObject(dc, old);
        // Only the entries the pixels use.
        bool used[256] = {};
        for (int y = 0; y < ds.dsBm.bmHeight; ++y) {
            const BYTE *row = pixels + (size_t)y * ds.dsBm.bmWidthBytes;
            for (int x = 0; x < ds.dsBm.bmWidth; ++x) {
                int index = bits == 8 ? row[x]
                            : bits == 4 ? (row[x / 2] >> (x % 2 ? 0 : 4)) & 0x0F
                                        : (row[x / 8] >> (7 - x % 8)) & 1;
                used[index] = true;
            }
        }
        for (UINT i = 0; i < entries && n < most; ++i) {
            if (!used[i]) continue;
            PALETTEENTRY e = {table[i].rgbRed, table[i].rgbGreen, table[i].rgbBlue, 0};
            bool known = false;
            for (int k = 0; k < n && !known; ++k)
                known = colours[k].peRed == e.peRed && colours[k].peGreen == e.peGreen && colours[k].peBlue == e.peBlue;
            if (!known) colours[n++] = e;
        }
    }
    ::DeleteDC(dc);
    if (n == 0) return nullptr;
    // LOGPALETTE holds one entry; room for the rest follows it.
    struct {
        WORD version, count;
        PALETTEENTRY entries[most];
    } block;
    block.version = 0x300;
    block.count = (WORD)n;
    std::memcpy(block.entries, colours, sizeof(PALETTEENTRY) * (size_t)n);
    return ::CreatePalette((const LOGPALETTE *)&block);
}

BOOL set_client_region(HWND window, HRGN region) {
    POINT client = {0, 0};
    RECT frame;
    if (!region || !::ClientToScreen(window, &client) || !::GetWindowRect(window, &frame)) return FALSE;
    ::OffsetRgn(region, client.x - frame.left, client.y - frame.top);
    return ::SetWindowRgn(window, region, TRUE) != 0;
}

RECT visible_rect(HWND window) {
    RECT frame = {0, 0, 0, 0};
    ::GetWindowRect(window, &frame);
    HRGN region = ::CreateRectRgn(0, 0, 0, 0);
    RECT box;
    if (region && ::GetWindowRgn(window, region) != ERROR && ::GetRgnBox(region, &box) != NULLREGION) {
        ::OffsetRect(&box, frame.left, frame.top);
        ::IntersectRect(&frame, &frame, &box);
    }
    if (region) ::DeleteObject(region);
    return frame;
}

void centre_visible_over(HWND window, HWND over) {
    RECT area;
    if (over && ::IsWindowVisible(over) && !::IsIconic(over))
        area = visible_rect(over);
    else
        ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    RECT frame, shown = visible_rect(window);
    ::GetWindowRect(window, &frame);
    int width = shown.right - shown.left, height = shown.bottom - shown.top;
    int left = area.left + (area.right - area.left - width) / 2;
    int top = area.top + (area.bottom - area.top - height) / 2;
    // Kept inside the work area (the window over may stand partly off it),
    // its top-left corner first when it is larger than the area.
    RECT work;
    if (::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0)) {
        if (left + width > work.right) left = work.right - width;
        if (top + height > work.bottom) top = work.bottom - height;
        if (left < work.left) left = work.left;
        if (top < work.top) top = work.top;
    }
    ::SetWindowPos(window, nullptr, left - (shown.left - frame.left), top - (shown.top - frame.top), 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}
