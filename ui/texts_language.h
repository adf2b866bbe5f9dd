// The texts of each language, one translation unit per language. Each unit is
// written in UTF-8 and compiled with its language's execution character set,
// so its string literals are stored as bytes of that code page. A switch over
// every key (no default) makes a missing text a -Wswitch warning.
#pragma once
#include "ui/texts.h"

const char* SimplifiedChineseText(TextKey key);   // code page 936
const char* EnglishText(TextKey key);             // ASCII
const char* TraditionalChineseText(TextKey key);  // code page 950
const char* JapaneseText(TextKey key);            // code page 932
