// Main.cpp - the process entry of setuphdr, which shows and changes the
// header of a Windows CE installer setup file.
#include "app/Run.h"

int main(int argc, char** argv) { startTool(argc, argv); }
