// Classifies the 8x8 digits of a text file with a model file: one digit per
// line, 64 pixel intensities from 0 to 16 (lines starting with # skipped).
// Prints each digit's predicted class and the model's ten outputs, each with
// nine significant digits, which give back the float exactly.
//
//   classify_digits examples/digits.qen examples/cpp/digits.txt
#include <qen/engine.h>
#include <qen/model_loader.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s MODEL.qen DIGITS.txt\n", argv[0]);
    return 2;
  }
  // The model was trained on intensities scaled to [0, 1].
  std::vector<float> pixels;
  std::ifstream digits(argv[2]);
  for (std::string line; std::getline(digits, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    for (int value; fields >> value;) pixels.push_back(value / 16.0f);
  }
  if (pixels.empty() || pixels.size() % 64 != 0) {
    std::fprintf(stderr, "%s: expected lines of 64 intensities\n", argv[2]);
    return 2;
  }
  const uint32_t rows = static_cast<uint32_t>(pixels.size() / 64);

  try {
    const qen::GraphHeader graph = qen::ModelLoader(argv[1]).graph_info();
    std::printf("%s: %u nodes, %u input, %u output\n", argv[1], graph.num_nodes, graph.num_inputs, graph.num_outputs);

    qen::Engine engine(qen::Device::CPU, /*threads=*/1);
    engine.load_model(argv[1]);
    // The input borrows `pixels`; the output owns its buffer.
    auto input = std::make_shared<qen::TensorView>(pixels.data(), std::vector<uint32_t>{rows, 64}, qen::DType::FP32);
    const qen::TensorHandle scores = engine.run({input}).at(0);

    const uint32_t classes = scores->shape.at(1);
    const float* row = static_cast<const float*>(scores->data);
    for (uint32_t r = 0; r < rows; ++r, row += classes) {
      std::printf("digit %u: class %td  outputs", r, std::max_element(row, row + classes) - row);
      for (uint32_t c = 0; c < classes; ++c) std::printf(" %.9g", row[c]);
      std::printf("\n");
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "error: %s\n", error.what());
    return 1;
  }
  return 0;
}
