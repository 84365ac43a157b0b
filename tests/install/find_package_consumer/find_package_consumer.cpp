// Linked with Zentrel::zentrel from find_package(Zentrel).
#include "consumer_check.h"

int main(int argc, char** argv) {
    if (argc != 2) return ConsumerFail("usage", "find_package_consumer FOLDER/");
    return RunConsumerCheck(argv[1]);
}
