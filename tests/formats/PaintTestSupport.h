// Checks shared by the PCX, SGI, Photoshop and Paintshop Pro reader tests.
#pragma once

#include "FormatTestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace formats_test {

// Loads every `extension` file of a fixture folder and compares it with its expected pixels;
// answers how many there were.
template <class T>
size_t ExpectFixturesMatchReferences(const std::string& folder, const std::string& extension) {
    return ForEachFile(folder, extension, [&](const std::string& name, const Bytes& bytes) {
        SCOPED_TRACE(folder + "/" + name);
        std::unique_ptr<T> image;
        try {
            image = Load<T>(bytes);
        } catch (const Exception& e) {
            ADD_FAILURE() << e.what();
            return;
        }
        EXPECT_EQ(
            CompareWithReference(*image, ReadReference(DataPath(folder + "/" + name + ".rgba.gz"))),
            "");
    });
}

// Every prefix of `file` (every length short of its own) loads or raises one of the library's
// exceptions; prefixes shorter than `mustFailBelow` bytes (those that cut the image data)
// always raise. Answers how many prefixes raised.
template <class T> size_t ExpectEveryCutFailsCleanly(const Bytes& file, size_t mustFailBelow) {
    size_t raised = 0;
    for (size_t length = 0; length < file.size(); ++length) {
        const Bytes cut(file.begin(), file.begin() + std::ptrdiff_t(length));
        try {
            Load<T>(cut);
            EXPECT_GE(length, mustFailBelow) << "a file cut at " << length << " bytes loaded";
        } catch (const Exception&) {
            ++raised;
        }
    }
    return raised;
}

} // namespace formats_test
