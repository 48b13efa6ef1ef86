#include "frontend/driver.hpp"

#include <cstring>
#include <string>

#include "platform/console.hpp"

namespace oscset::frontend {
namespace {

using platform::console_printf;

enum class LineRead { TEXT, END_OF_INPUT, TOO_LONG };

// One line from `input` into `buffer`, without its newline (nor a carriage return before
// it, which a line from a Windows editor carries, and which must not count against the
// buffer). A line longer than the buffer holds is read to its end and refused as a whole, so
// that its tail is never taken as the next line.
LineRead read_line(std::FILE* input, char (&buffer)[LINE_BUFFER_SIZE]) {
    std::size_t length = 0;
    bool any = false;
    bool overflow = false;
    bool pending_cr = false;
    const auto store = [&](char c) {
        if (length < LINE_BUFFER_SIZE - 1) {
            buffer[length++] = c;
        } else {
            overflow = true;
        }
    };
    int c;
    while ((c = std::getc(input)) != EOF) {
        any = true;
        if (c == '\n') {
            pending_cr = false;
            break;
        }
        if (pending_cr) {
            store('\r');
        }
        pending_cr = c == '\r';
        if (!pending_cr) {
            store(static_cast<char>(c));
        }
    }
    if (!any) {
        return LineRead::END_OF_INPUT;
    }
    buffer[length] = '\0';
    return overflow ? LineRead::TOO_LONG : LineRead::TEXT;
}

void print_usage() {
    console_printf("Ex. oscset 10.5K    .....  10.5KHz\n");
    console_printf("    oscset 12.3M    .....  12.3MHz\n");
    console_printf("    oscset          .....  conversation mode.\n");
    console_printf("      (1.0Hz <= f <= 180MHz)\n");
}

// --help, -h and --version: answered before any cable is opened.
bool answers_option(const char* argument, const ProgramText& text) {
    if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
        print_usage();
        console_printf(
            "\nEnvironment:\n"
            "  OSCSET_CONFIG_IMAGE=<file>  the board's design (.bit file or raw stream); without\n"
            "                              it %s, else the built-in design\n"
            "  OSCSET_CABLE=<cable>        usb (the first USB adapter; the default), usb:N,\n"
            "                              parallel or parallel:0x378 (the printer-port cable at\n"
            "                              that I/O base), auto\n"
            "%s\nSee man %s.\n",
            OSCSET_SYSTEM_DESIGN, text.more_environment, text.name);
        return true;
    }
    if (std::strcmp(argument, "--version") == 0) {
        console_printf("%s %s\n", text.name, OSCSET_VERSION);
        return true;
    }
    return false;
}

int bad_input_exit(ClockBoard& board) {
    board.close();
    print_usage();
    return EXIT_FAILED;
}

}  // namespace

int oscset_main(int argc, const char* const* argv, std::FILE* input, ClockBoard& board,
                const ProgramText& program) {
    const bool argument_mode = argc == 2;
    if (argument_mode && answers_option(argv[1], program)) {
        return EXIT_OK;
    }
    if (const status_t opened = board.open(); opened != STATUS_OK) {
        if (opened != STATUS_UNKNOWN_CABLE) {
            console_printf("Can't found ALDER-FPGA\n");
        }
        return EXIT_FAILED;
    }
    if (board.configure() != STATUS_OK) {
        console_printf("Can't Config ALDER-FPGA\n");
        board.close();
        return EXIT_FAILED;
    }

    // The argument is copied: the suffix is removed in place.
    std::string argument = argument_mode ? std::string(argv[1]) : std::string();
    char line[LINE_BUFFER_SIZE];
    for (;;) {
        char* text = nullptr;
        if (argument_mode) {
            text = argument.data();
        } else {
            console_printf("input frequency(EX. 10.2K or 66M). ");
            const LineRead got = read_line(input, line);
            if (got == LineRead::END_OF_INPUT) {
                line[0] = '\0';
            } else if (got == LineRead::TOO_LONG) {
                console_printf("input format error.\n");
                return bad_input_exit(board);
            }
            text = line;
        }
        if (text[0] == '\0') {
            board.close();
            return EXIT_OK;
        }

        const ParsedFrequency request = parse_frequency(text);
        if (request.error != FrequencyError::NONE) {
            return bad_input_exit(board);
        }
        divider_plan plan;
        if (!search_dividers(request.target_hz, plan)) {
            board.close();  // never reached within the search ranges; the cable is not left open
            return EXIT_FAILED;
        }
        report_plan(plan);
        if (!board.program(plan)) {
            console_printf("Can't lock error!!!\n");
            board.close();
            return EXIT_FAILED;
        }
        if (argument_mode) {
            board.close();
            return EXIT_OK;
        }
    }
}

}  // namespace oscset::frontend
