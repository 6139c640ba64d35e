#include "ui/win/Pictures.h"

#include <wincodec.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace nubra::ui::win {

namespace {

template <typename T>
struct Released {
    T* p = nullptr;
    ~Released() {
        if (p) p->Release();
    }
    T** operator&() { return &p; }
    T* operator->() const { return p; }
};

// The picture's pixels as premultiplied BGRA rows, top row first; empty on any failure.
std::vector<uint8_t> Decode(const EmbeddedPicture& picture, UINT& width, UINT& height) {
    Released<IWICImagingFactory> factory;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                reinterpret_cast<void**>(&factory))))
        return {};
    Released<IWICStream> stream;
    if (FAILED(factory->CreateStream(&stream)) ||
        FAILED(stream->InitializeFromMemory(const_cast<BYTE*>(picture.data), static_cast<DWORD>(picture.size))))
        return {};
    Released<IWICBitmapDecoder> decoder;
    if (FAILED(factory->CreateDecoderFromStream(stream.p, nullptr, WICDecodeMetadataCacheOnDemand, &decoder)))
        return {};
    Released<IWICBitmapFrameDecode> frame;
    if (FAILED(decoder->GetFrame(0, &frame))) return {};
    Released<IWICFormatConverter> converter;
    if (FAILED(factory->CreateFormatConverter(&converter)) ||
        FAILED(converter->Initialize(frame.p, GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone, nullptr, 0.0,
                                     WICBitmapPaletteTypeCustom)) ||
        FAILED(converter->GetSize(&width, &height)) || width == 0 || height == 0 || width > 1024 || height > 1024)
        return {};
    std::vector<uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    if (FAILED(converter->CopyPixels(nullptr, width * 4, static_cast<UINT>(pixels.size()), pixels.data()))) return {};
    return pixels;
}

HBITMAP MakeBitmap(const std::vector<uint8_t>& pixels, UINT width, UINT height, COLORREF background) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = static_cast<LONG>(width);
    info.bmiHeader.biHeight = -static_cast<LONG>(height);  // top row first, as decoded
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap || !bits) return nullptr;
    auto* out = static_cast<uint8_t*>(bits);
    std::memcpy(out, pixels.data(), pixels.size());
    if (background != CLR_NONE) {
        // Premultiplied: colour = picture + (1 - alpha) * background.
        const uint8_t bg[3] = {GetBValue(background), GetGValue(background), GetRValue(background)};
        for (std::size_t i = 0; i < pixels.size(); i += 4) {
            const unsigned rest = 255u - out[i + 3];
            for (int c = 0; c < 3; ++c) out[i + c] = static_cast<uint8_t>(out[i + c] + (bg[c] * rest + 127) / 255);
            out[i + 3] = 255;
        }
    }
    return bitmap;
}

}  // namespace

HBITMAP LoadPicture(const char* name, COLORREF background) {
    const EmbeddedPicture* picture = FindEmbeddedPicture(name);
    if (!picture) return nullptr;
    UINT width = 0, height = 0;
    const auto pixels = Decode(*picture, width, height);
    if (pixels.empty()) return nullptr;
    return MakeBitmap(pixels, width, height, background);
}

HICON WindowIcon(int size) {
    HBITMAP color = LoadPicture(size <= 16 ? "window_16" : "window_32");
    if (!color) return nullptr;
    BITMAP info{};
    GetObjectW(color, sizeof(info), &info);
    // The mask is ignored for a 32-bit colour bitmap with alpha, but must be there.
    HBITMAP mask = CreateBitmap(info.bmWidth, info.bmHeight, 1, 1, nullptr);
    ICONINFO icon{TRUE, 0, 0, mask, color};
    HICON result = CreateIconIndirect(&icon);
    DeleteObject(mask);
    DeleteObject(color);
    return result;
}

HIMAGELIST TreeImageList() {
    HIMAGELIST list = ImageList_Create(kTreePictureSize, kTreePictureSize, ILC_COLOR32, kTreePictureCount + 1, 0);
    if (!list) return nullptr;
    const std::vector<uint8_t> blank(static_cast<std::size_t>(kTreePictureSize) * kTreePictureSize * 4, 0);
    for (const char* name : {"", "tree_mail", "tree_store", "tree_contacts", "tree_calendar", "tree_tasks",
                             "tree_notes"}) {
        HBITMAP bitmap = *name ? LoadPicture(name) : nullptr;
        if (!bitmap) bitmap = MakeBitmap(blank, kTreePictureSize, kTreePictureSize, CLR_NONE);
        ImageList_Add(list, bitmap, nullptr);
        DeleteObject(bitmap);
    }
    return list;
}

}  // namespace nubra::ui::win
