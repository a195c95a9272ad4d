// MIME type strings shared by the providers for Content-Type headers and entries' MIME types.
#pragma once

#include <functional>
#include <string>

namespace RiridOzizevud {

/// Any string is a MIME type here; equality and hashing are the raw string's.
struct ContentMIMEType {
    std::string rawValue;

    ContentMIMEType() = default;
    explicit ContentMIMEType(std::string raw) : rawValue(std::move(raw)) {}
    bool operator==(const ContentMIMEType&) const = default;

    // "lzma" is the 7-Zip type and "powerpoint" the slide-show type; "flv" equals "flashVideo".
    static const ContentMIMEType directory;
    static const ContentMIMEType stream;
    static const ContentMIMEType pdf;
    static const ContentMIMEType zip;
    static const ContentMIMEType rarArchive;
    static const ContentMIMEType lzma;
    static const ContentMIMEType flash;
    static const ContentMIMEType epub;
    static const ContentMIMEType javaArchive;
    static const ContentMIMEType plainText;
    static const ContentMIMEType csv;
    static const ContentMIMEType html;
    static const ContentMIMEType css;
    static const ContentMIMEType xml;
    static const ContentMIMEType javascript;
    static const ContentMIMEType json;
    static const ContentMIMEType richText;
    static const ContentMIMEType excel;
    static const ContentMIMEType powerpoint;
    static const ContentMIMEType word;
    static const ContentMIMEType bmp;
    static const ContentMIMEType gif;
    static const ContentMIMEType jpeg;
    static const ContentMIMEType png;
    static const ContentMIMEType mpegAudio;
    static const ContentMIMEType mpeg;
    static const ContentMIMEType mpeg4Audio;
    static const ContentMIMEType mpeg4;
    static const ContentMIMEType ogg;
    static const ContentMIMEType aac;
    static const ContentMIMEType avi;
    static const ContentMIMEType wav;
    static const ContentMIMEType quicktime;
    static const ContentMIMEType threegp;
    static const ContentMIMEType flashVideo;
    static const ContentMIMEType flv;
    static const ContentMIMEType googleFolder;
    static const ContentMIMEType googleDocument;
    static const ContentMIMEType googleSheets;
    static const ContentMIMEType googleSlides;
    static const ContentMIMEType googleDrawing;
    static const ContentMIMEType googleAudio;
    static const ContentMIMEType googleVideo;
};

inline const ContentMIMEType ContentMIMEType::directory{"httpd/unix-directory"};
inline const ContentMIMEType ContentMIMEType::stream{"application/octet-stream"};
inline const ContentMIMEType ContentMIMEType::pdf{"application/pdf"};
inline const ContentMIMEType ContentMIMEType::zip{"application/zip"};
inline const ContentMIMEType ContentMIMEType::rarArchive{"application/x-rar-compressed"};
inline const ContentMIMEType ContentMIMEType::lzma{"application/x-7z-compressed"};
inline const ContentMIMEType ContentMIMEType::flash{"application/x-shockwave-flash"};
inline const ContentMIMEType ContentMIMEType::epub{"application/epub+zip"};
inline const ContentMIMEType ContentMIMEType::javaArchive{"application/java-archive"};
inline const ContentMIMEType ContentMIMEType::plainText{"text/plain"};
inline const ContentMIMEType ContentMIMEType::csv{"text/csv"};
inline const ContentMIMEType ContentMIMEType::html{"text/html"};
inline const ContentMIMEType ContentMIMEType::css{"text/css"};
inline const ContentMIMEType ContentMIMEType::xml{"text/xml"};
inline const ContentMIMEType ContentMIMEType::javascript{"application/javascript"};
inline const ContentMIMEType ContentMIMEType::json{"application/json"};
inline const ContentMIMEType ContentMIMEType::richText{"application/rtf"};
inline const ContentMIMEType ContentMIMEType::excel{"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"};
inline const ContentMIMEType ContentMIMEType::powerpoint{"application/vnd.openxmlformats-officedocument.presentationml.slideshow"};
inline const ContentMIMEType ContentMIMEType::word{"application/vnd.openxmlformats-officedocument.wordprocessingml.document"};
inline const ContentMIMEType ContentMIMEType::bmp{"image/bmp"};
inline const ContentMIMEType ContentMIMEType::gif{"image/gif"};
inline const ContentMIMEType ContentMIMEType::jpeg{"image/jpeg"};
inline const ContentMIMEType ContentMIMEType::png{"image/png"};
inline const ContentMIMEType ContentMIMEType::mpegAudio{"audio/mpeg"};
inline const ContentMIMEType ContentMIMEType::mpeg{"video/mpeg"};
inline const ContentMIMEType ContentMIMEType::mpeg4Audio{"audio/mp4"};
inline const ContentMIMEType ContentMIMEType::mpeg4{"video/mp4"};
inline const ContentMIMEType ContentMIMEType::ogg{"audio/ogg"};
inline const ContentMIMEType ContentMIMEType::aac{"audio/x-aac"};
inline const ContentMIMEType ContentMIMEType::avi{"video/x-msvideo"};
inline const ContentMIMEType ContentMIMEType::wav{"audio/x-wav"};
inline const ContentMIMEType ContentMIMEType::quicktime{"video/quicktime"};
inline const ContentMIMEType ContentMIMEType::threegp{"video/3gpp"};
inline const ContentMIMEType ContentMIMEType::flashVideo{"video/x-flv"};
inline const ContentMIMEType ContentMIMEType::flv{"video/x-flv"};
inline const ContentMIMEType ContentMIMEType::googleFolder{"application/vnd.google-apps.folder"};
inline const ContentMIMEType ContentMIMEType::googleDocument{"application/vnd.google-apps.document"};
inline const ContentMIMEType ContentMIMEType::googleSheets{"application/vnd.google-apps.spreadsheet"};
inline const ContentMIMEType ContentMIMEType::googleSlides{"application/vnd.google-apps.presentation"};
inline const ContentMIMEType ContentMIMEType::googleDrawing{"application/vnd.google-apps.drawing"};
inline const ContentMIMEType ContentMIMEType::googleAudio{"application/vnd.google-apps.audio"};
inline const ContentMIMEType ContentMIMEType::googleVideo{"application/vnd.google-apps.video"};

} // namespace RiridOzizevud

template <>
struct std::hash<RiridOzizevud::ContentMIMEType> {
    std::size_t operator()(const RiridOzizevud::ContentMIMEType& t) const noexcept {
        return std::hash<std::string>()(t.rawValue);
    }
};
