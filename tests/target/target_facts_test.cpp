// What the board build must be: big-endian, 32-bit long and pointers, and
// the kernel interface of powerpc, where the ioctl direction bits differ
// from x86 and the SMBus ioctl record is smaller. If these fail, the other
// suites are not testing the board's code.
#include <sys/ioctl.h>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <mtd/mtd-user.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

TEST(TargetFacts, BigEndianIlp32)
{
	const uint32_t word = 0x01020304u;
	uint8_t bytes[4];

	memcpy(bytes, &word, sizeof(bytes));
	EXPECT_EQ(bytes[0], 0x01);
	EXPECT_EQ(bytes[3], 0x04);
	EXPECT_EQ(sizeof(long), 4u);
	EXPECT_EQ(sizeof(void *), 4u);
	EXPECT_EQ(sizeof(size_t), 4u);
}

TEST(TargetFacts, KernelInterface)
{
	// powerpc encodes _IOC_READ as 2 and _IOC_WRITE as 4 (x86: 2 and 1).
	EXPECT_EQ((unsigned long)MEMGETINFO, 0x40204D01ul);
	EXPECT_EQ((unsigned long)MEMERASE, 0x80084D02ul);
	EXPECT_EQ(sizeof(struct mtd_info_user), 32u);
	EXPECT_EQ(sizeof(struct erase_info_user), 8u);
	// Plain numbers on every architecture.
	EXPECT_EQ(I2C_SLAVE, 0x0703);
	EXPECT_EQ(I2C_SMBUS, 0x0720);
	EXPECT_EQ(sizeof(struct i2c_smbus_ioctl_data), 12u);
}

} // namespace
