#include "trial.h"

#include "board_api.h"
#include "console.h"
#include "image.h"
#include "vpd.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

// "slot,boots,used,way_back,crc" of the trial pending, and
// "slot,way_back" of the last one that went back.
static const char TRIAL_VAR[] = "vemra_trial";
static const char ROLLBACK_VAR[] = "vemra_rollback";

// count numbers separated by commas, the last one in base last_base.
static bool parse_fields(const char *text, unsigned long *out, int count, int last_base)
{
	for (int i = 0; i < count; i++) {
		const bool last = i == count - 1;
		char *end;

		if (!text || !isxdigit((unsigned char)*text))
			return false;
		errno = 0;
		out[i] = strtoul(text, &end, last ? last_base : 10);
		if (errno || *end != (last ? '\0' : ','))
			return false;
		text = end + 1;
	}
	return true;
}

static bool parse_trial(const char *text, trial *t)
{
	unsigned long f[5];

	if (!parse_fields(text, f, 5, 16) || f[4] > UINT32_MAX)
		return false;
	*t = trial{ (int)(f[0] & 0xFF), (int)(f[1] & 0xFF), (int)(f[2] & 0xFF), (int)(f[3] & 0xFF),
		    (uint32_t)f[4] };
	return f[0] <= 2 && (t->slot == 1 || t->slot == 2) && f[3] == (unsigned long)(3 - t->slot) &&
	       f[1] > 0 && f[1] <= 255 && f[2] <= f[1];
}

static bool put_trial(uboot_env *e, const trial *t)
{
	char text[64];

	snprintf(text, sizeof text, "%d,%d,%d,%d,%08x", t->slot, t->boots, t->used, t->way_back,
		 (unsigned)t->crc);
	if (env_set(e, TRIAL_VAR, text))
		return true;
	error("the environment has no room for the trial");
	return false;
}

int trial_prepare(int n, uint32_t crc, int boots, trial_plan *p)
{
	const int selected = read_vpd(VPD_SELECTED_IMAGE);
	trial pending;
	int status;

	p->env = uboot_env{};
	p->t = trial{ n, boots, 0, boots_first(selected), crc };
	if (selected < 0) {
		error("cannot read VPD byte 0");
		return STATUS_ERROR;
	}
	if (p->t.way_back == n) {
		error("image %d boots now: a trial needs the other slot to go back to", n);
		return STATUS_REFUSED;
	}
	api_flash_init();
	status = env_open_to_write(&p->env);
	if (status != STATUS_OK)
		return status;
	if (parse_trial(env_get(&p->env, TRIAL_VAR), &pending)) {
		error("the trial of image %d is pending: confirm it or let it go back first",
		      pending.slot);
		env_close(&p->env);
		return STATUS_REFUSED;
	}
	return STATUS_OK;
}

int trial_begin(trial_plan *p)
{
	if (!put_trial(&p->env, &p->t) || !env_store(&p->env))
		return STATUS_ERROR;
	if (select_slot(p->t.slot) == STATUS_OK)
		return STATUS_OK;
	env_unset(&p->env, TRIAL_VAR);
	env_store(&p->env);
	return STATUS_ERROR;
}

void trial_undo(trial_plan *p)
{
	select_slot(p->t.way_back);
	env_unset(&p->env, TRIAL_VAR);
	env_store(&p->env);
}

void trial_release(trial_plan *p)
{
	env_close(&p->env);
}

/* Whether the slot still holds the trial's image */

static bool is_mounted(const char *dir)
{
	struct stat d, root;

	return stat(dir, &d) == 0 && stat("/", &root) == 0 && d.st_dev != root.st_dev;
}

static bool header_crc(const char *path, uint32_t *crc)
{
	const int fd = open(path, O_RDONLY | O_CLOEXEC);
	const image_source src = fd_source(fd);
	image_check c;
	bool valid;

	if (fd < 0)
		return false;
	valid = image_check_header(&src, &c) == IMAGE_VALID;
	close(fd);
	*crc = c.header.crc;
	return valid;
}

// A recovery install at the console or a rescue wipe may have replaced the
// image on trial. Before the launcher has mounted /user, it is mounted
// read-only for the look and unmounted again; when that cannot be done,
// the slot counts as holding it.
static bool slot_holds_trial(const trial *t)
{
	const bool mounted = is_mounted("/user");
	uint32_t crc = 0;
	bool holds;

	if (!mounted && mount("/dev/mtd-user", "/user", "jffs2", MS_RDONLY, NULL) != 0)
		return true;
	holds = header_crc(slot_path(t->slot), &crc) && crc == t->crc;
	if (!mounted)
		umount("/user");
	return holds;
}

/* boot-check */

// The trial's boots are used up: the way back is selected, then the trial
// ends. A power cut between the two leaves the trial to end at the next
// boot-check; one before the selection repeats it.
static bool go_back(uboot_env *e, const trial *t)
{
	char text[16];
	int status;

	api_i2c_init();
	status = select_slot(t->way_back);
	api_i2c_close();
	if (status != STATUS_OK)
		return false;
	env_unset(e, TRIAL_VAR);
	snprintf(text, sizeof text, "%d,%d", t->slot, t->way_back);
	if (!env_set(e, ROLLBACK_VAR, text) || !env_store(e))
		return false;
	printf("vemra-boot: image %d not confirmed in %d boots: back to image %d\n", t->slot,
	       t->boots, t->way_back);
	return true;
}

static void end_unheld(uboot_env *e, const trial *t)
{
	env_unset(e, TRIAL_VAR);
	if (env_store(e))
		printf("vemra-boot: the trial of image %d ended: its slot holds another image\n",
		       t->slot);
}

// One boot more of the trial, or its end.
static void check_trial(uboot_env *e, trial *t)
{
	if (t->used < t->boots) {
		t->used++;
		if (put_trial(e, t))
			env_store(e);
	} else if (!slot_holds_trial(t)) {
		end_unheld(e, t);
	} else if (!go_back(e, t)) {
		error("boot-check: image %d could not be selected away; trying again next boot",
		      t->slot);
	}
}

// Never stops a boot: what fails is one line on stderr, and the status is
// 0 whatever happens, so that init goes on to the launcher. With no trial
// pending nothing is written.
int cmd_boot_check(void)
{
	uboot_env e;
	trial t;

	api_flash_init();
	if (!env_open(&e))
		return STATUS_OK;
	if (!e.crc_ok)
		error("boot-check: the environment's checksum does not match: left alone");
	else if (parse_trial(env_get(&e, TRIAL_VAR), &t))
		check_trial(&e, &t);
	else if (env_get(&e, TRIAL_VAR))
		error("boot-check: %s is not a trial this program wrote: left alone", TRIAL_VAR);
	env_close(&e);
	fflush(stdout);
	return STATUS_OK;
}

/* confirm */

static int confirm_trial(uboot_env *e, const trial *t)
{
	int booted;

	api_i2c_init();
	booted = read_vpd(VPD_BOOTED_IMAGE);
	api_i2c_close();
	if (booted != t->slot) {
		error("image %d is on trial, but image %d booted: not confirmed", t->slot, booted);
		return STATUS_REFUSED;
	}
	if (!slot_holds_trial(t)) {
		end_unheld(e, t);
		return STATUS_OK;
	}
	env_unset(e, TRIAL_VAR);
	if (!env_store(e))
		return STATUS_ERROR;
	printf("trial of image %d confirmed\n", t->slot);
	return STATUS_OK;
}

// Run by the application once it is healthy. With no trial pending there
// is nothing to confirm: nothing is read from the EEPROM or written.
int cmd_confirm(void)
{
	uboot_env e;
	trial t;
	int status;

	api_flash_init();
	status = env_open_to_write(&e);
	if (status != STATUS_OK)
		return status;
	if (parse_trial(env_get(&e, TRIAL_VAR), &t))
		status = confirm_trial(&e, &t);
	env_close(&e);
	return status;
}

bool read_trial_status(trial_status *s, const char **why)
{
	unsigned long f[2];
	const char *back;
	uboot_env e;

	*s = trial_status{};
	if (!env_open(&e)) {
		*why = "unreadable";
		return false;
	}
	if (!e.crc_ok) {
		*why = "unknown (the environment's checksum does not match)";
		env_close(&e);
		return false;
	}
	s->pending = parse_trial(env_get(&e, TRIAL_VAR), &s->t);
	back = env_get(&e, ROLLBACK_VAR);
	s->rolled_back = parse_fields(back, f, 2, 10) && f[0] <= 2 && f[1] <= 2;
	if (s->rolled_back) {
		s->rollback_slot = (int)f[0];
		s->rollback_to = (int)f[1];
	}
	env_close(&e);
	return true;
}
