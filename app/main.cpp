#include "app/entry.h"

int main(int argc, char* argv[]) { uc::run_main(argc, argv); }
