// How the text files the program writes end their lines, and how a text
// file it reads ends; plain constants of the system built for.
#ifndef KORVANE_BASE_TEXT_FILE_H
#define KORVANE_BASE_TEXT_FILE_H

#ifdef _WIN32
#define LINE_END "\r\n"           // line end of the text files we write
#define TEXT_ENDS_AT_CTRL_Z true  // a text file we read ends at a Ctrl+Z byte
#else
#define LINE_END "\n"              // line end of the text files we write
#define TEXT_ENDS_AT_CTRL_Z false  // a Ctrl+Z byte is text like any other
#endif

#endif
