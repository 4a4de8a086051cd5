#include "info_main.h"

int main(int argc, char** argv) {
    return tavrik::tavrikInfoMain(argc, argv);
}
