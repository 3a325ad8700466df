// The listing block chain: text split across 64 KiB blocks at any byte, the ANSI conversion of
// LIST text, and the teardown that frees every block.
#include <gtest/gtest.h>

#include <string>

#include "ftp/data_connection.h"
#include "ftp/listing.h"
#include "host/services.h"
#include "server/client.h"

namespace {

class BlockChain : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(host_services_bind(host::lookup_service), 1);
        client.data_socket = INVALID_SOCKET;
        client.data_mode = DATA_MODE_NONE;
        client.transfer_kind = TRANSFER_LIST;
        client.transfer_path = utf8_string_alloc_utf8_string("");
        client.utf8_mode = 1;
    }
    void TearDown() override
    {
        data_close(&client);
        EXPECT_EQ(client.transfer_kind, TRANSFER_NONE);
        EXPECT_EQ(client.data_head, nullptr);
    }

    std::string chain_text(size_t* block_count)
    {
        std::string text;
        *block_count = 0;
        for (DataBlock* block = client.data_head; block; block = block->next) {
            text.append(block->payload, block->used);
            ++*block_count;
            if (block->next) {
                EXPECT_EQ(block->used, DATA_BLOCK_PAYLOAD) << "only the last block may be partial";
            }
        }
        return text;
    }

    FtpClient client = {};
};

TEST_F(BlockChain, TextFillsEveryBlockToItsLastByteBeforeTheNext) {
    std::string expected;
    for (int line = 0; expected.size() < 3 * DATA_BLOCK_PAYLOAD + 100; ++line) {
        std::string text = "line " + std::to_string(line) + " \xc3\xa9\r\n";
        data_printf(&client, "%s", text.c_str());
        expected += text;
    }
    size_t blocks = 0;
    EXPECT_EQ(chain_text(&blocks), expected);
    EXPECT_EQ(blocks, 4u);
    EXPECT_EQ(client.data_tail->next, nullptr);
}

TEST_F(BlockChain, ExactlyOneFullBlockNeedsNoSecond) {
    std::string bytes(DATA_BLOCK_PAYLOAD, 'x');
    data_write(&client, bytes.data(), bytes.size());
    size_t blocks = 0;
    EXPECT_EQ(chain_text(&blocks), bytes);
    EXPECT_EQ(blocks, 1u);
    data_write(&client, "y", 1);
    EXPECT_EQ(chain_text(&blocks), bytes + "y");
    EXPECT_EQ(blocks, 2u);
}

TEST_F(BlockChain, ListTextIsWindows1252WhenUtf8IsOffAndMlsdTextStaysUtf8) {
    client.utf8_mode = 0;
    data_printf(&client, "%s|", "caf\xc3\xa9 \xe2\x82\xac \xe4\xb8\xad");
    data_printf_utf8(&client, "%s", "caf\xc3\xa9");
    size_t blocks = 0;
    EXPECT_EQ(chain_text(&blocks), "caf\xe9 \x80 ?|caf\xc3\xa9");
}

TEST_F(BlockChain, CloseIsSafeToRepeat) {
    data_write(&client, "abc", 3);
    data_close(&client);
    EXPECT_EQ(client.data_head, nullptr);
    EXPECT_EQ(client.transfer_path, nullptr);
    data_close(&client);
    EXPECT_EQ(client.data_mode, DATA_MODE_NONE);
}

}  // namespace
