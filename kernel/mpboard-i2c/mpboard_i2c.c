// SPDX-License-Identifier: GPL-2.0
/*
 * The board's I2C bus 0 and its CPLD register block, for a board's virtual
 * machine (mpboard run DIR --vm).
 *
 * The adapter carries plain I2C transfers, so the kernel's SMBus emulation
 * serves i2c-dev's SMBus calls, and answers at three addresses:
 *   0x70  the multiplexer: each byte written becomes its control byte (bit n
 *         opens channel n); a read gives it back
 *   0x4f  the set-up device: a register pointer, then data; 256 registers
 *   0x54  the VPD EEPROM: an 8-bit offset, then data; a read continues at the
 *         offset. It answers only while the multiplexer opens channel 3 and
 *         the CPLD's gate is open; otherwise it NAKs (-ENXIO), as on the board.
 * Any other address NAKs.
 *
 * The EEPROM's 256 bytes live in memory the caller names with vpd_addr and
 * vpd_size: a region of the PCI memory (ivshmem) that maps the board's flash
 * file, beside the phram partitions. Each byte written is stored there at
 * once, so a write that completed survives a kill of the machine. The four
 * bytes after them (when vpd_size leaves room) count the EEPROM's completed
 * writes, little-endian, each counted after its bytes are stored: a host that
 * watches the file (the power-cut campaign) tells from them whether the
 * machine stopped between one write and the next.
 *
 * The CPLD is the misc device /dev/lamel/cpld_mmmap: 32 one-byte registers at
 * their file offsets (lseek, read, write, pread, pwrite), and like the board's
 * driver a read or write does not move the file position, so a poll reads the
 * same register again. A write of the control register (20) starts a switch
 * of the gate to its bit 0, done gate_delay_ms later: only then does the gate
 * pass the EEPROM's transfers (or stop them). The status register (24,
 * read-only) reads bit 0 clear until then, and always on its first read after
 * the write, so a caller that does not wait for it finds the gate unswitched
 * however fast the machine is; the delay is short beside the launcher's poll
 * budget (5000 reads), whose pauses a scaled clock may shorten to nothing.
 */
#include <linux/bits.h>
#include <linux/fs.h>
#include <linux/i2c.h>
#include <linux/io.h>
#include <linux/jiffies.h>
#include <linux/ktime.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/uaccess.h>

#define MUX_ADDR	0x70
#define SETUP_ADDR	0x4f
#define EEPROM_ADDR	0x54
#define EEPROM_CHANNEL	BIT(3)
#define EEPROM_SIZE	256
#define COUNTED_SIZE	(EEPROM_SIZE + sizeof(__le32))

#define CPLD_REGS	32
#define CPLD_VPD_CONTROL 20
#define CPLD_VPD_STATUS	24

/* 64 bits: on a 32-bit core the PCI memory of qemu's e500 machine lies above 4 GiB. */
static unsigned long long vpd_addr;
module_param(vpd_addr, ullong, 0444);
MODULE_PARM_DESC(vpd_addr, "physical address of the EEPROM's bytes");

static unsigned int vpd_size = EEPROM_SIZE;
module_param(vpd_size, uint, 0444);
MODULE_PARM_DESC(vpd_size, "size of that region, at least 256");

static unsigned int gate_delay_ms = 1;
module_param(gate_delay_ms, uint, 0444);
MODULE_PARM_DESC(gate_delay_ms, "how long the CPLD takes to switch the gate");

enum target { NOBODY, MUX, SETUP, EEPROM };

static struct {
	struct mutex lock;	/* the devices' state, for the bus and the CPLD */
	u8 *eeprom;		/* EEPROM_SIZE bytes in the flash file */
	__le32 *writes;		/* after them, or NULL: the writes completed */
	u8 eeprom_pointer;
	u8 mux;
	u8 setup[256];
	u8 setup_pointer;
	u8 regs[CPLD_REGS];
	bool gate_open;		/* what the gate passes now */
	bool switching;		/* until switch_done, towards regs[control] bit 0 */
	bool status_read;	/* since the last control write */
	ktime_t switch_done;
} board;

/* A switch that has had its time is done: the gate is what was asked. */
static void cpld_settle(void)
{
	if (board.switching && ktime_after(ktime_get(), board.switch_done)) {
		board.gate_open = board.regs[CPLD_VPD_CONTROL] & 1;
		board.switching = false;
	}
}

static enum target target_of(const struct i2c_msg *msg)
{
	if (msg->flags & I2C_M_TEN)
		return NOBODY;
	switch (msg->addr) {
	case MUX_ADDR:
		return MUX;
	case SETUP_ADDR:
		return SETUP;
	case EEPROM_ADDR:
		cpld_settle();
		return (board.mux & EEPROM_CHANNEL) && board.gate_open ?
			EEPROM : NOBODY;
	}
	return NOBODY;
}

/* One message of a transfer; a device that is not there (or not reached) NAKs. */
static int board_msg(struct i2c_msg *msg)
{
	enum target target = target_of(msg);
	u16 i;

	if (target == NOBODY)
		return -ENXIO;
	/* Only an SMBus block read asks for a length byte first: not offered. */
	if (msg->flags & I2C_M_RECV_LEN)
		return -EOPNOTSUPP;
	for (i = 0; i < msg->len; i++) {
		u8 *byte = &msg->buf[i];

		if (msg->flags & I2C_M_RD) {
			if (target == MUX)
				*byte = board.mux;
			else if (target == SETUP)
				*byte = board.setup[board.setup_pointer++];
			else
				*byte = READ_ONCE(board.eeprom[board.eeprom_pointer++]);
		} else if (target == MUX) {
			board.mux = *byte;
		} else if (target == SETUP) {
			if (i == 0)
				board.setup_pointer = *byte;
			else
				board.setup[board.setup_pointer++] = *byte;
		} else if (i == 0) {
			board.eeprom_pointer = *byte;
		} else {
			WRITE_ONCE(board.eeprom[board.eeprom_pointer++], *byte);
		}
	}
	if (target == EEPROM && !(msg->flags & I2C_M_RD) && msg->len > 1 &&
	    board.writes) {
		/* The bytes reach the memory before the count that says so. */
		wmb();
		WRITE_ONCE(*board.writes,
			   cpu_to_le32(le32_to_cpu(READ_ONCE(*board.writes)) + 1));
	}
	return 0;
}

static int board_xfer(struct i2c_adapter *adap, struct i2c_msg *msgs, int num)
{
	int i, ret = 0;

	mutex_lock(&board.lock);
	for (i = 0; i < num && !ret; i++)
		ret = board_msg(&msgs[i]);
	mutex_unlock(&board.lock);
	return ret ? ret : num;
}

static u32 board_functionality(struct i2c_adapter *adap)
{
	return I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;
}

static const struct i2c_algorithm board_algorithm = {
	.master_xfer = board_xfer,
	.functionality = board_functionality,
};

static struct i2c_adapter board_adapter = {
	.owner = THIS_MODULE,
	.algo = &board_algorithm,
	.name = "mpboard bus 0",
	.nr = 0,
};

static ssize_t cpld_read(struct file *file, char __user *buf, size_t count,
			 loff_t *ppos)
{
	u8 regs[CPLD_REGS];
	loff_t pos = *ppos;
	size_t n;

	if (pos < 0)
		return -EINVAL;
	if (pos >= CPLD_REGS)
		return 0;
	n = min_t(size_t, count, CPLD_REGS - pos);
	mutex_lock(&board.lock);
	cpld_settle();
	memcpy(regs, board.regs, sizeof(regs));
	if (pos <= CPLD_VPD_STATUS && CPLD_VPD_STATUS < pos + n) {
		regs[CPLD_VPD_STATUS] &= ~1;
		regs[CPLD_VPD_STATUS] |= board.status_read && !board.switching;
		board.status_read = true;
	}
	mutex_unlock(&board.lock);
	if (copy_to_user(buf, regs + pos, n))
		return -EFAULT;
	return n;
}

static ssize_t cpld_write(struct file *file, const char __user *buf,
			  size_t count, loff_t *ppos)
{
	u8 bytes[CPLD_REGS];
	loff_t pos = *ppos;
	size_t i;

	if (pos < 0)
		return -EINVAL;
	if (pos >= CPLD_REGS || count > CPLD_REGS - pos)
		return -ENOSPC;
	if (copy_from_user(bytes, buf, count))
		return -EFAULT;
	mutex_lock(&board.lock);
	for (i = 0; i < count; i++) {
		loff_t reg = pos + i;

		if (reg == CPLD_VPD_STATUS)
			continue;
		board.regs[reg] = bytes[i];
		if (reg == CPLD_VPD_CONTROL) {
			board.switching = true;
			board.status_read = false;
			board.switch_done = ktime_add_ms(ktime_get(),
							 gate_delay_ms);
		}
	}
	mutex_unlock(&board.lock);
	return count;
}

static loff_t cpld_llseek(struct file *file, loff_t offset, int whence)
{
	return fixed_size_llseek(file, offset, whence, CPLD_REGS);
}

static const struct file_operations cpld_fops = {
	.owner = THIS_MODULE,
	.read = cpld_read,
	.write = cpld_write,
	.llseek = cpld_llseek,
};

static struct miscdevice cpld_device = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "cpld_mmmap",
	.nodename = "lamel/cpld_mmmap",
	.fops = &cpld_fops,
};

static int __init mpboard_i2c_init(void)
{
	int ret;

	if (!vpd_addr || vpd_size < EEPROM_SIZE) {
		pr_err("mpboard_i2c: vpd_addr and vpd_size (at least %d) name the EEPROM's bytes\n",
		       EEPROM_SIZE);
		return -EINVAL;
	}
	mutex_init(&board.lock);
	board.status_read = true;	/* the gate rests closed, switched */
	board.eeprom = memremap(vpd_addr, vpd_size >= COUNTED_SIZE ?
				COUNTED_SIZE : EEPROM_SIZE, MEMREMAP_WB);
	if (!board.eeprom)
		return -ENOMEM;
	if (vpd_size >= COUNTED_SIZE)
		board.writes = (__le32 *)(board.eeprom + EEPROM_SIZE);
	ret = i2c_add_numbered_adapter(&board_adapter);
	if (ret)
		goto unmap;
	ret = misc_register(&cpld_device);
	if (ret)
		goto del_adapter;
	return 0;

del_adapter:
	i2c_del_adapter(&board_adapter);
unmap:
	memunmap(board.eeprom);
	return ret;
}

static void __exit mpboard_i2c_exit(void)
{
	misc_deregister(&cpld_device);
	i2c_del_adapter(&board_adapter);
	memunmap(board.eeprom);
}

module_init(mpboard_i2c_init);
module_exit(mpboard_i2c_exit);

MODULE_DESCRIPTION("I2C bus 0 and CPLD of an mpboard virtual machine");
MODULE_LICENSE("GPL");
