/* The bootloader as a USB gadget, for the kernel test's virtual machine.
 *
 * It defines a gadget through configfs (one HID function with the
 * bootloader's report descriptor: vendor page, 64-byte output and input
 * reports, no report IDs), binds it to one of dummy_hcd's device
 * controllers, so that the host side enumerates it through the real usbhid
 * driver as a /dev/hidrawN, and reads each output report from /dev/hidgN as
 * the device received it. Each report is checked as the bootloader would
 * (marker, known command, legal order, block lengths, unused bytes zero)
 * and builds the flash image, written to FLASH when the application is
 * started (or the gadget is stopped).
 *
 * Usage: gadget NAME UDC SERIAL FLASH [options]
 *   --delay-us N        take each report N microseconds after the last
 *   --stall-after K     take K reports, then stop reading
 *   --unplug-after K    take K reports, then unbind the gadget
 *   --appear-after-ms T bind the gadget only after T ms
 *   --set-report        no OUT endpoint: the host sends SET_REPORT requests
 *   --acm               first a CDC-ACM function (the running board): once
 *                       usbmon shows the host setting 1200 baud and then
 *                       dropping DTR, it re-enumerates as the bootloader
 *   --app               after START_APPLICATION, leave the bus and come back
 *                       as the application (the CDC-ACM board, 5e1a:0002);
 *                       without it the board stays in its bootloader
 * Prints "gadget NAME bound", then at the end "gadget NAME frames N errors E
 * gap-us G" (G: the median time between two reports) and every error.
 *
 * Also: gadget --time OUT CMD ARGS... runs CMD with its standard output and
 * error in OUT.out and OUT.err and prints "status S exit-ms X eof-ms Y
 * message-ms M": when it ended, when both its streams reached their end and
 * when its standard error first said something (-1: never).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static const uint8_t DESCRIPTOR[] = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x02, 0x15, 0x00, 0x26,
                                     0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x91, 0x02, 0x09, 0x03, 0x15, 0x00,
                                     0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0xC0};

static char dir[256];
static uint8_t flash[0x20000];
static uint8_t block[256];
static unsigned address, length, filled, block_size;
static int expect; /* 0 begin, 1 address or finish, 2 length, 3 data, 4 block done, 5 start, 6 none */
static long frames, errors;
static volatile sig_atomic_t stop;

static long long now_us(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

static void put(const char *path, const char *text, size_t size)
{
    char full[512];
    snprintf(full, sizeof full, "%s/%s", dir, path);
    int fd = open(full, O_WRONLY);
    if (fd < 0 || write(fd, text, size) != (ssize_t)size) {
        printf("gadget error %s: %s\n", full, strerror(errno));
        exit(2);
    }
    close(fd);
}

static void put_text(const char *path, const char *text)
{
    put(path, text, strlen(text));
}

static void make(const char *path)
{
    char full[512];
    snprintf(full, sizeof full, "%s/%s", dir, path);
    if (mkdir(full, 0755) != 0 && errno != EEXIST) {
        printf("gadget error mkdir %s: %s\n", full, strerror(errno));
        exit(2);
    }
}

static void error(const char *text)
{
    ++errors;
    printf("gadget error frame %ld: %s\n", frames, text);
}

static int zero_from(const uint8_t *r, int first)
{
    for (int i = first; i < 64; ++i)
        if (r[i])
            return 0;
    return 1;
}

/* The same rules as the FUSE simulator's. */
static void take(const uint8_t *r)
{
    ++frames;
    if (r[0] != 0xA1)
        return error("no command marker");
    switch (r[1]) {
    case 1:
        if (expect != 0 && expect != 6)
            return error("BEGIN out of order");
        if (!zero_from(r, 2))
            return error("BEGIN has parameters");
        expect = 1;
        break;
    case 2:
        if (expect != 1)
            return error("SET_ADDRESS out of order");
        if (!zero_from(r, 4))
            return error("SET_ADDRESS has stray bytes");
        address = (r[2] | r[3] << 8) * 2u;
        expect = 2;
        break;
    case 3:
        if (expect != 2)
            return error("SET_LENGTH out of order");
        length = (unsigned)r[2] << 8 | r[3];
        if ((length != 128 && length != 256) || !zero_from(r, 4))
            return error("SET_LENGTH is not 128 or 256");
        if (!block_size)
            block_size = length;
        if (length != block_size || address % length)
            return error("block size changed or address not aligned");
        filled = 0;
        expect = 3;
        break;
    case 4:
        if (expect != 3)
            return error("DATA out of order");
        if (!zero_from(r, 34))
            return error("DATA has stray bytes");
        memcpy(block + filled, r + 2, 32);
        filled += 32;
        if (filled == length)
            expect = 4;
        break;
    case 5:
        if (expect != 4 || !zero_from(r, 2))
            return error("BLOCK_DONE out of order or with parameters");
        memcpy(flash + address, block, length);
        expect = 1;
        break;
    case 6:
        if (expect != 1)
            return error("FINISH out of order");
        expect = 5;
        break;
    case 7:
        /* After FINISH, or alone: a board started without writing. */
        if (expect != 5 && expect != 0)
            return error("START_APPLICATION out of order");
        expect = 6;
        break;
    default:
        error("unknown command");
    }
}

static void define_gadget(const char *name, const char *serial, int set_report, int acm)
{
    snprintf(dir, sizeof dir, "/sys/kernel/config/usb_gadget/%s", name);
    make("");
    put_text("idVendor", acm ? "0x5e1a" : "0x5e1a");
    put_text("idProduct", acm ? "0x0002" : "0x0001");
    make("strings/0x409");
    put_text("strings/0x409/manufacturer", "Quorvel Test");
    put_text("strings/0x409/product", acm ? "Quorvel Test Board" : "Quorvel Test HID Bootloader");
    put_text("strings/0x409/serialnumber", serial);
    make("configs/c.1");
    if (acm) {
        make("functions/acm.usb0");
    } else {
        make("functions/hid.usb0");
        put_text("functions/hid.usb0/protocol", "0");
        put_text("functions/hid.usb0/subclass", "0");
        put_text("functions/hid.usb0/report_length", "64");
        put("functions/hid.usb0/report_desc", (const char *)DESCRIPTOR, sizeof DESCRIPTOR);
        if (set_report)
            put_text("functions/hid.usb0/no_out_endpoint", "1");
    }
    char link[512], target[512];
    snprintf(target, sizeof target, "%s/functions/%s", dir, acm ? "acm.usb0" : "hid.usb0");
    snprintf(link, sizeof link, "%s/configs/c.1/%s", dir, acm ? "acm.usb0" : "hid.usb0");
    if (symlink(target, link) != 0 && errno != EEXIST) {
        printf("gadget error symlink: %s\n", strerror(errno));
        exit(2);
    }
}

/* Removes the gadget from configfs, unbinding it first where it is bound. */
static void remove_gadget(int acm)
{
    const char *function = acm ? "acm.usb0" : "hid.usb0";
    char path[512];
    int fd = -1;
    snprintf(path, sizeof path, "%s/UDC", dir);
    if ((fd = open(path, O_WRONLY)) >= 0) {
        (void)!write(fd, "\n", 1);
        close(fd);
    }
    snprintf(path, sizeof path, "%s/configs/c.1/%s", dir, function);
    unlink(path);
    const char *dirs[] = {"configs/c.1", "functions/", "strings/0x409", ""};
    for (int i = 0; i < 4; ++i) {
        snprintf(path, sizeof path, "%s/%s%s", dir, dirs[i], i == 1 ? function : "");
        rmdir(path);
    }
}

/* The minor number of the gadget's /dev/hidgN, from its function. */
static int hidg_node(char *path, size_t size)
{
    char dev[512], text[32] = "";
    snprintf(dev, sizeof dev, "%s/functions/hid.usb0/dev", dir);
    FILE *f = fopen(dev, "r");
    if (!f || !fgets(text, sizeof text, f))
        return -1;
    fclose(f);
    unsigned major = 0, minor = 0;
    sscanf(text, "%u:%u", &major, &minor);
    snprintf(path, size, "/dev/hidg%u", minor);
    return 0;
}

/* Waits until usbmon shows the touch on the gadget's bus: SET_LINE_CODING
 * with 1200 baud (b0040000 in usbmon's words), then SET_CONTROL_LINE_STATE
 * without DTR. The serial gadget driver does not show line settings to
 * the gadget program, but the bus does. */
static int wait_for_touch(const char *udc)
{
    char path[128], line[512];
    snprintf(path, sizeof path, "/sys/kernel/debug/usb/usbmon/%du", udc[strlen(udc) - 1] - '0' + 1);
    FILE *bus = fopen(path, "r");
    if (!bus) {
        printf("gadget error %s: %s\n", path, strerror(errno));
        return 0;
    }
    int at_1200 = 0;
    while (!stop && fgets(line, sizeof line, bus)) {
        if (!strstr(line, " S Co:"))
            continue;
        if (strstr(line, " s 21 20 "))
            at_1200 = strstr(line, "= b0040000") != NULL;
        char *state = strstr(line, " s 21 22 ");
        if (state && at_1200 && !(strtoul(state + 9, NULL, 16) & 1)) {
            fclose(bus);
            return 1;
        }
    }
    fclose(bus);
    return 0;
}

static int compare_long(const void *a, const void *b)
{
    long x = *(const long *)a, y = *(const long *)b;
    return x < y ? -1 : x > y;
}

static void on_term(int signal)
{
    (void)signal;
    stop = 1;
}

static int time_command(const char *out, char **argv)
{
    char path[512];
    int pipes[2][2];
    if (pipe(pipes[0]) || pipe(pipes[1]))
        return 2;
    long long start = now_us();
    pid_t child = fork();
    if (child == 0) {
        dup2(pipes[0][1], 1);
        dup2(pipes[1][1], 2);
        for (int i = 0; i < 2; ++i)
            close(pipes[i][0]), close(pipes[i][1]);
        execv(argv[0], argv);
        _exit(127);
    }
    close(pipes[0][1]);
    close(pipes[1][1]);
    int files[2];
    for (int i = 0; i < 2; ++i) {
        snprintf(path, sizeof path, "%s.%s", out, i ? "err" : "out");
        files[i] = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    long long exit_us = -1, eof_us = -1, message_us = -1;
    int status = 0, open_streams = 2;
    while (open_streams > 0 || exit_us < 0) {
        struct pollfd p[2] = {{pipes[0][0], POLLIN, 0}, {pipes[1][0], POLLIN, 0}};
        poll(p, 2, exit_us < 0 ? 5 : -1);
        for (int i = 0; i < 2; ++i) {
            char buffer[4096];
            if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP)))
                continue;
            ssize_t got = read(p[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                if (i == 1 && message_us < 0)
                    message_us = now_us();
                if (write(files[i], buffer, (size_t)got) != got)
                    return 2;
            } else {
                close(pipes[i][0]);
                pipes[i][0] = -1;
                if (--open_streams == 0)
                    eof_us = now_us();
            }
        }
        if (exit_us < 0 && waitpid(child, &status, WNOHANG) == child)
            exit_us = now_us();
    }
    printf("status %d exit-ms %lld eof-ms %lld message-ms %lld\n",
           WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), (exit_us - start) / 1000,
           (eof_us - start) / 1000, message_us < 0 ? -1 : (message_us - start) / 1000);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc >= 4 && strcmp(argv[1], "--time") == 0)
        return time_command(argv[2], argv + 3);
    if (argc < 5) {
        fprintf(stderr, "usage: gadget NAME UDC SERIAL FLASH [options]\n");
        return 2;
    }
    long delay_us = 0, stall_after = -1, unplug_after = -1, appear_after_ms = 0;
    int set_report = 0, acm = 0, app = 0;
    for (int i = 5; i < argc; ++i) {
        if (strcmp(argv[i], "--set-report") == 0)
            set_report = 1;
        else if (strcmp(argv[i], "--acm") == 0)
            acm = 1;
        else if (strcmp(argv[i], "--app") == 0)
            app = 1;
        else if (i + 1 < argc && strcmp(argv[i], "--delay-us") == 0)
            delay_us = atol(argv[++i]);
        else if (i + 1 < argc && strcmp(argv[i], "--stall-after") == 0)
            stall_after = atol(argv[++i]);
        else if (i + 1 < argc && strcmp(argv[i], "--unplug-after") == 0)
            unplug_after = atol(argv[++i]);
        else if (i + 1 < argc && strcmp(argv[i], "--appear-after-ms") == 0)
            appear_after_ms = atol(argv[++i]);
    }
    setvbuf(stdout, NULL, _IOLBF, 0);
    struct sigaction term = {0};
    term.sa_handler = on_term; /* no SA_RESTART: a wait on usbmon ends too */
    sigaction(SIGTERM, &term, NULL);
    memset(flash, 0xFF, sizeof flash);
    define_gadget(argv[1], argv[3], set_report, acm);
    if (appear_after_ms)
        usleep((useconds_t)(appear_after_ms * 1000));
    put_text("UDC", argv[2]);
    printf("gadget %s bound\n", argv[1]);
    if (acm) {
        if (!wait_for_touch(argv[2]))
            return 2;
        printf("gadget %s touched\n", argv[1]);
        remove_gadget(1);
        usleep(200000);
        define_gadget(argv[1], argv[3], set_report, 0);
        put_text("UDC", argv[2]);
        acm = 0;
    }

    char node[64];
    int fd = -1;
    for (int i = 0; i < 200 && fd < 0; ++i) {
        if (hidg_node(node, sizeof node) == 0)
            fd = open(node, O_RDONLY);
        if (fd < 0)
            usleep(10000);
    }
    if (fd < 0) {
        printf("gadget error no /dev/hidg node: %s\n", strerror(errno));
        return 2;
    }
    static long gaps[8192];
    long gap_count = 0;
    long long last = -1;
    uint8_t report[64];
    while (!stop && expect != 6) {
        if (frames == stall_after) {
            while (!stop)
                pause();
            break;
        }
        if (frames == unplug_after) {
            put_text("UDC", "\n");
            printf("gadget %s unplugged\n", argv[1]);
            break;
        }
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t got = read(fd, report, sizeof report);
        if (got != 64) {
            if (got < 0 && errno == EINTR)
                continue;
            error("a report of another length");
            continue;
        }
        long long at = now_us();
        if (last >= 0 && gap_count < 8192)
            gaps[gap_count++] = (long)(at - last);
        last = at;
        take(report);
        if (delay_us)
            usleep((useconds_t)delay_us);
    }
    FILE *out = fopen(argv[4], "wb");
    if (out) {
        fwrite(flash, 1, sizeof flash, out);
        fclose(out);
    }
    qsort(gaps, (size_t)gap_count, sizeof gaps[0], compare_long);
    printf("gadget %s frames %ld errors %ld gap-us %ld\n", argv[1], frames, errors,
           gap_count ? gaps[gap_count / 2] : 0);
    if (app && expect == 6) {
        /* The application starts: the bootloader leaves the bus and the
         * board enumerates anew as what the firmware is. */
        close(fd);
        remove_gadget(0);
        usleep(200000);
        define_gadget(argv[1], argv[3], 0, 1);
        put_text("UDC", argv[2]);
        acm = 1;
        printf("gadget %s application\n", argv[1]);
    }
    /* Stay bound until told to stop, so that the host keeps the board. */
    while (!stop)
        pause();
    remove_gadget(acm);
    return errors != 0;
}
