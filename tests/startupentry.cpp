// The program's entry under another name, so that a test can run it.
#define main norvantaMain
#include "../src/app/main.cpp"
