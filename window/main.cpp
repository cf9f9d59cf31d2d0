#include "window/form1.h"

int main(int argc, char** argv) { return Form1::Run(argc, argv); }
