#include "app/app.h"

int main(int argc, char** argv) {
  return km::runKestrelmail(argc, argv);
}
