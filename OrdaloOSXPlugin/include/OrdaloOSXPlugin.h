/*
 * OrdaloOSXPlugin.h - public interface of libOrdaloOSXPlugin, the TUIO plugin.
 *
 * The plugin turns one XML TUIO packet, as the service writes it to its TCP clients, into a frame
 * of contacts and hands that frame to the gesture mapper (libOrdaloOSXMapper). It reads the text
 * by searching for a few fixed tokens, not as an XML tree: an alive message ("alive"/>" followed
 * by one element per live identifier up to "</MESSAGE>") and, per live identifier, a set message
 * ("set"/>" followed by at least eight VALUE="..." attributes up to "</MESSAGE>"). Values 0
 * (id), 1 and 2 (x, y) and 6 and 7 (width, height) are converted; 3 to 5 must be present only.
 *
 * Ownership: the text handed in stays the caller's and is only read during the call.
 * Threads: none of its own and no locks; call it from the one thread that feeds the mapper.
 * Blocking: a call performs the mapper's actions before it returns (see OrdaloOSXMapper.h).
 * Errors: a packet that does not parse throws FrameParser::InvalidTuioMessageException, whose
 * what() is "invalid TUIO message"; the mapper is then not called.
 */
#ifndef ORDALO_OSX_PLUGIN_H
#define ORDALO_OSX_PLUGIN_H

#include <stdexcept>
#include <string>

#include "OrdaloOSXMapper.h"

namespace ordalo {
namespace sdk {
namespace gesturelibrary {

class ODOSX_API FrameParser {
public:
    class ODOSX_API InvalidTuioMessageException : public std::runtime_error {
    public:
        InvalidTuioMessageException();
    };

    /* The contacts of one packet in set-message order: id, location and extent from the text,
     * timestamp the time of parsing (gesture clock), every other field zero. A packet without an
     * alive message, or whose alive message lists no identifier, is an empty frame. */
    template <typename T>
    static Frame<T> parse(const std::string& text);

    /* The number of identifiers in the first alive message (0 without one). */
    static unsigned countCursors(const std::string& text);

    /* Fills count records from the first count set messages; throws std::runtime_error when one
     * is missing or malformed. */
    template <typename T>
    static void extractCursors(const std::string& text, Contact<T>* out, unsigned count);

    /* Fills one record from the arguments of one set message; throws std::runtime_error (or the
     * stream's std::ios_base::failure for a value that is not a number). */
    template <typename T>
    static void extractCursor(const std::string& arguments, Contact<T>* out);
};

}  // namespace gesturelibrary
}  // namespace sdk
}  // namespace ordalo

extern "C" {

/*
 * Parses one whole packet (NUL-terminated) and passes its contacts to odosxmapper_put_frame.
 * Repeated empty frames are passed on once: the first empty frame after a non-empty one tells
 * the mapper that every finger is up, later ones until the next non-empty frame are dropped, and
 * so is an empty frame before any contact. A null text is ignored. Throws
 * FrameParser::InvalidTuioMessageException for a packet that does not parse.
 */
ODOSX_API void odosxplugin_put_tuio_frame(const char* text);

/* Passed on unchanged to odosxmapper_set_parameter. */
ODOSX_API void odosxplugin_set_parameter(const char* name, const char* value);
}

#endif
