// uart_probe [--base PORT]: probes COM1 (or the UART at PORT) as serial drivers
// and self-tests do and prints every answer, one "what value" line each, so that
// runs on two UARTs can be compared.
// Answers are collected first and printed at the end, so that printing (on a
// serial console, in a virtual machine) cannot delay the probe between steps.
//
// uart_probe echo COUNT: sends back each of the next COUNT bytes COM1 receives,
// polling the line status register as a driver without interrupts does.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/io.h>
#include <time.h>

namespace {

unsigned short base = 0x3F8;
unsigned short rbr_thr, ier, iir_fcr, lcr, mcr, lsr, msr, scr;

void use_uart_at(unsigned short port)
{
  base = port;
  rbr_thr = base;
  ier = base + 1;
  iir_fcr = base + 2;
  lcr = base + 3;
  mcr = base + 4;
  lsr = base + 5;
  msr = base + 6;
  scr = base + 7;
}

char answers[8192];
int used;

void note(const char *what, unsigned value)
{
  used += snprintf(answers + used, sizeof answers - static_cast<unsigned>(used), "%s 0x%02x\n", what, value);
}

void divisor(const char *what)
{
  const unsigned char line = inb(lcr);
  outb(static_cast<unsigned char>(line | 0x80), lcr);
  note(what, static_cast<unsigned>(inb(rbr_thr) | (inb(ier) << 8)));
  outb(line, lcr);
}

// Writes and reads back each register that keeps what it is given.
void masks()
{
  outb(0xFF, ier);
  note("ier-after-0xff", inb(ier));
  outb(0x00, ier);
  outb(0xFF, mcr);
  note("mcr-after-0xff", inb(mcr));
  outb(0x00, mcr);
  outb(0xA5, scr);
  note("scr-after-0xa5", inb(scr));
  outb(0x1B, lcr);
  note("lcr-after-0x1b", inb(lcr));
  outb(0x03, lcr);
  outb(0x00, msr);
  note("msr-after-write", inb(msr) & 0xF0U);
  outb(0x00, lsr);
  note("lsr-after-write", inb(lsr));
}

// The existence test: in loopback the modem outputs come back as inputs.
void modem_lines()
{
  static const unsigned char settings[] = {0x10, 0x11, 0x12, 0x14, 0x18, 0x1A, 0x1F, 0x00};
  for (const unsigned char setting : settings) {
    outb(setting, mcr);
    char what[32];
    snprintf(what, sizeof what, "msr-with-mcr-0x%02x", setting);
    note(what, inb(msr) & 0xF0U);  // drivers look at the lines, not at the delta bits
  }
}

void fifo_detection()
{
  outb(0x07, iir_fcr);
  note("iir-fifo-on", inb(iir_fcr));
  outb(0x00, iir_fcr);
  note("iir-fifo-off", inb(iir_fcr));
}

void loopback_without_fifo()
{
  outb(0x00, iir_fcr);
  outb(0x10, mcr);
  note("lsr-empty", inb(lsr));
  outb('A', rbr_thr);
  note("lsr-after-A", inb(lsr));
  note("rbr-A", inb(rbr_thr));
  note("lsr-after-read", inb(lsr));
  note("rbr-again", inb(rbr_thr));
  outb('B', rbr_thr);
  outb('C', rbr_thr);
  note("lsr-after-overrun", inb(lsr));
  note("lsr-overrun-cleared", inb(lsr));
  note("rbr-after-overrun", inb(rbr_thr));
  outb(0x00, mcr);
}

void loopback_with_fifo()
{
  outb(0x07, iir_fcr);
  outb(0x10, mcr);
  for (unsigned char byte = 'a'; byte <= 'q'; ++byte) {  // 17 bytes: one more than the FIFO holds
    outb(byte, rbr_thr);
  }
  note("lsr-full", inb(lsr));
  for (int i = 0; i < 17; ++i) {
    note("lsr", inb(lsr));
    note("rbr", inb(rbr_thr));
  }
  outb('r', rbr_thr);
  outb(0x07, iir_fcr);  // resetting the receive FIFO drops what it holds
  note("lsr-after-reset", inb(lsr));
  outb(0x00, mcr);
}

void interrupt_identification()
{
  outb(0x07, iir_fcr);
  outb(0x10, mcr);
  inb(msr);  // no modem status change pending
  outb(0x02, ier);
  note("iir-thre-enabled", inb(iir_fcr));
  note("iir-thre-read", inb(iir_fcr));
  outb(0x02, ier);
  note("iir-ier-unchanged", inb(iir_fcr));
  outb(0x00, ier);
  outb(0x02, ier);
  note("iir-ier-again", inb(iir_fcr));
  outb('x', rbr_thr);
  note("iir-after-thr", inb(iir_fcr));
  outb(0x0F, ier);
  note("iir-received", inb(iir_fcr));
  for (int i = 0; i < 16; ++i) {
    outb('y', rbr_thr);
  }
  note("iir-overrun", inb(iir_fcr));
  note("lsr", inb(lsr));
  note("iir-after-lsr", inb(iir_fcr));
  while ((inb(lsr) & 0x01U) != 0) {
    inb(rbr_thr);
  }
  note("iir-drained", inb(iir_fcr));
  note("iir-then", inb(iir_fcr));
  outb(0x00, ier);
  outb(0x00, mcr);
  outb(0x00, iir_fcr);
}

void wait_ms(long milliseconds)
{
  const timespec pause{0, milliseconds * 1000000};
  nanosleep(&pause, nullptr);
}

// Bytes below the trigger level raise the character timeout once four
// character times pass without a byte arriving or being read.
void character_timeout()
{
  outb(0x83, lcr);
  outb(96, rbr_thr);  // 1200 baud: 8.3 ms a character, 33 ms to the timeout
  outb(0x00, ier);
  outb(0x03, lcr);
  outb(0xC7, iir_fcr);  // trigger at 14 bytes
  outb(0x10, mcr);
  inb(msr);
  outb(0x01, ier);
  outb('t', rbr_thr);
  outb('u', rbr_thr);
  note("iir-two-bytes", inb(iir_fcr));
  wait_ms(100);
  note("iir-timed-out", inb(iir_fcr));
  note("rbr-t", inb(rbr_thr));
  note("iir-after-read", inb(iir_fcr));
  wait_ms(100);
  note("iir-timed-out-again", inb(iir_fcr));
  note("rbr-u", inb(rbr_thr));
  wait_ms(100);
  note("iir-emptied", inb(iir_fcr));
  outb(0x00, ier);
  outb(0x00, mcr);
  outb(0x00, iir_fcr);
}

void echo(unsigned long count)
{
  outb(0x07, iir_fcr);
  for (unsigned long i = 0; i < count; ++i) {
    while ((inb(lsr) & 0x01U) == 0) {
    }
    const unsigned char byte = inb(rbr_thr);
    while ((inb(lsr) & 0x20U) == 0) {
    }
    outb(byte, rbr_thr);
  }
}

}  // namespace

int main(int argc, char *argv[])
{
  if (argc >= 3 && strcmp(argv[1], "--base") == 0) {
    use_uart_at(static_cast<unsigned short>(strtoul(argv[2], nullptr, 0)));
    argc -= 2;
    argv += 2;
  } else {
    use_uart_at(base);
  }
  if (ioperm(base, 8, 1) != 0) {
    perror("ioperm");
    return 1;
  }
  if (argc == 3 && strcmp(argv[1], "echo") == 0) {
    echo(strtoul(argv[2], nullptr, 10));
    return 0;
  }
  divisor("divisor-as-found");
  note("lcr-as-found", inb(lcr));
  // A slow line keeps a real UART's character timeout out of the way of what follows.
  outb(0x83, lcr);
  outb(0x00, rbr_thr);
  outb(0x0C, ier);
  outb(0x03, lcr);
  divisor("divisor-set");
  note("lcr", inb(lcr));
  masks();
  modem_lines();
  fifo_detection();
  loopback_without_fifo();
  loopback_with_fifo();
  interrupt_identification();
  character_timeout();
  fputs(answers, stdout);
  return 0;
}
