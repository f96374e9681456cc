// messages.h: every text the sorting operation shows, stored as its exact code page 932 bytes.
#pragma once

struct Message {
    const char* text;     // code page 932, zero-terminated
    const char* caption;  // code page 932, zero-terminated
};

// "警告" and "確認".
inline constexpr char kCaptionWarning[] = "\x8c\x78\x8d\x90";
inline constexpr char kCaptionConfirm[] = "\x8a\x6d\x94\x46";

// ".sndファイルではありません": the dropped file's name does not end in ".snd".
inline constexpr Message kMsgNotSnd = {
    "\x2e\x73\x6e\x64\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xc5\x82\xcd\x82\xa0\x82\xe8\x82\xdc"
    "\x82\xb9\x82\xf1",
    kCaptionWarning};
// "読込エラー1": the file does not carry the archive signature.
inline constexpr Message kMsgBadSignature = {"\x93\xc7\x8d\x9e\x83\x47\x83\x89\x81\x5b\x31",
                                             kCaptionWarning};
// "cntListエラー": the entry count is 0 or above the limit.
inline constexpr Message kMsgBadCount = {"\x63\x6e\x74\x4c\x69\x73\x74\x83\x47\x83\x89\x81\x5b",
                                         kCaptionWarning};
// "pOldFileリネームミリ": the dropped file could not take its backup name.
inline constexpr Message kMsgOldRename = {
    "\x70\x4f\x6c\x64\x46\x69\x6c\x65\x83\x8a\x83\x6c\x81\x5b\x83\x80\x83\x7e\x83\x8a",
    kCaptionWarning};
// "pDefFileリネームミリ": the sorted archive could not take the dropped file's name.
inline constexpr Message kMsgDefRename = {
    "\x70\x44\x65\x66\x46\x69\x6c\x65\x83\x8a\x83\x6c\x81\x5b\x83\x80\x83\x7e\x83\x8a",
    kCaptionWarning};
// "整列を完了しました": the sorted archive holds the dropped file's name, the original its backup name.
inline constexpr Message kMsgDone = {
    "\x90\xae\x97\xf1\x82\xf0\x8a\xae\x97\xb9\x82\xb5\x82\xdc\x82\xb5\x82\xbd", kCaptionConfirm};
// "読込エラー2": the archive is damaged (its chain or data runs past the end of the file, or the
// sorted archive would be too large for its offsets).
inline constexpr Message kMsgDamaged = {"\x93\xc7\x8d\x9e\x83\x47\x83\x89\x81\x5b\x32",
                                        kCaptionWarning};
