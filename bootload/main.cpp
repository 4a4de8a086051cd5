#include "program_main.h"

int main(int argc, char** argv) {
    return tavrik::tavrikProgramMain(argc, argv);
}
