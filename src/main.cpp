#include "brindleaf.h"
int main(int argc, char** argv) {
    return brindleafMain(argc, argv);
}
