// quarn.inspection.detect.dfine_runner: object detection with a D-FINE model
// exported to ONNX, run through ONNX Runtime.
//
// Read top to bottom: the module's texts, its process-wide state (interned
// names, constants, the libraries the body bound), the statement lines
// tracebacks report, the functions of the namespace (probes, provider choice,
// the detector's methods, the shared detector), the module body that binds
// them, and the loading frame that creates the module once per process and
// runs the body.
//
// A failed C API call throws PythonError (python_error.hpp); the function
// object's call and the module's create and exec steps turn it back into the
// Python error.  Functions therefore read as the statements they implement.
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>
#include <optional>
#include <utility>

#include "function_object.hpp"
#include "half_float.hpp"
#include "owned_ref.hpp"
#include "py_calls.hpp"
#include "python_error.hpp"
#include "resample_bilinear.hpp"

namespace quarn {
namespace {

constexpr const char kFullName[] = "quarn.inspection.detect.dfine_runner";
// The code objects' file: the module's own name, not the C++ file, whose
// lines have nothing to do with the statement lines tracebacks report.
constexpr const char kSourceFile[] = "src/quarn/inspection/detect/dfine_runner";

// ---------------------------------------------------------------------------
// Texts

constexpr const char kModuleDoc[] =
    "D-FINE object detection through ONNX Runtime.\n"
    "\n"
    "The shared detection back end of the inspection package: it produces boxes\n"
    "with a class and a score and judges nothing; the package's `detect`\n"
    "inspector decides OK or NG. Like the PatchCore backbone module, it loads a\n"
    "model once and keeps it in a module-level cache.\n"
    "\n"
    "Design decisions:\n"
    "\n"
    "1. The detector runs from an ONNX export through ONNX Runtime. It replaced\n"
    "   a YOLO detector run through the `ultralytics` package, which pulls in the\n"
    "   full OpenCV build (conflicting with the headless one) and moves numpy to\n"
    "   an arbitrary version; installing it without its dependencies cannot be\n"
    "   expressed in package metadata, and the package must install with a\n"
    "   single `pip install quarn`. So this module depends only on onnxruntime,\n"
    "   numpy, Pillow and OpenCV, never on a detection framework.\n"
    "2. The detector is a per-site asset: what is detected differs from site to\n"
    "   site, and the vendor fine-tunes the model and ships it as an ONNX file.\n"
    "   Model files are found by name through `quarn.weights`; none is built in.\n"
    "3. The ONNX graph contains the model's post-processing: `labels`, `boxes`\n"
    "   and `scores` come out in the original image's coordinates. NMS and the\n"
    "   mapping back to the original image are not redone in numpy; any such\n"
    "   re-implementation would be a source of numerical mismatch.\n"
    "4. Labels are 0-based indices into an 80-class table, not COCO's 91\n"
    "   category ids: the deploy-mode post-processor returns labels before the\n"
    "   remap step, so nothing is remapped and `COCO80` is 0-based. A wrong\n"
    "   table would shift every class name silently.\n";

constexpr const char kDetectErrorDoc[] = "검출기 로드/추론 오류 (모델 파일 부재·onnxruntime 미설치 등).";

constexpr const char kDetectionDoc[] =
    "검출 결과 1건.\n"
    "\n"
    "xyxy 는 원본 이미지 픽셀 좌표(정수)다. obb 는 회전 박스(꼭짓점 4개, float 8개)로,\n"
    "D-FINE 은 DETR 계열이라 축 정렬 박스만 내므로 항상 None 이다. 패키지의 crop\n"
    "단계가 obb 로 분기하고 None 이면 축 정렬 박스로 되돌아가므로 필드를 둔다.\n"
    "회전 정렬이 정말 필요해지면 이 검출기를 늘리지 말고, 회전 박스 검출기를\n"
    "플러그인으로 따로 더한다.";

// Detection's fields in definition order, with their annotations: the ones
// detect fills by keyword, then obb, which keeps its default None.  The
// record's annotations, the keyword names and make_detection's arguments are
// all made from this one list, so they cannot disagree.
// clang-format off: one list, laid out by hand
#define QUARN_DETECTED_FIELDS(X) \
    X(cls_id, "int") X(cls_name, "str") X(conf, "float") X(xyxy, "tuple[int, int, int, int]")
// clang-format on

struct RecordField {
    const char* name;
    const char* annotation;
};
#define QUARN_FIELD_ENTRY(field, annotation) {#field, annotation},
constexpr RecordField kDetectionFields[] = {
    QUARN_DETECTED_FIELDS(QUARN_FIELD_ENTRY)  // filled by detect
    {"obb", "tuple[float, ...] | None"},      // default None
};
#undef QUARN_FIELD_ENTRY
constexpr size_t kDetectionFieldCount = sizeof(kDetectionFields) / sizeof(kDetectionFields[0]);
constexpr size_t kDetectedFieldCount = kDetectionFieldCount - 1;

constexpr const char kDetectorDoc[] = "D-FINE ONNX 래퍼. 무거우므로 get_detector() 로 1회만 생성한다.";

constexpr const char kIsAvailableDoc[] = "모델 파일이 있는지만 본다(doctor·UI 표시용). 로드하지 않는다.";
constexpr const char kProvidersDoc[] = "patchcore/backbone 와 같은 규칙. 실제 provider 는 세션 생성 뒤에 읽는다.";
constexpr const char kPreprocessDoc[] =
    "BGR(또는 grey) 이미지 → 네트워크 입력 두 개.\n"
    "\n"
    "Returns the image tensor (float32, 1 x 3 x 640 x 640, planes R, G, B,\n"
    "values k / 255 of the resized 8-bit pixels, C-contiguous) and\n"
    "orig_target_sizes (int64 [[width, height]] of the input image).\n"
    "\n"
    "The image is stretched (no letterbox) with Pillow's BILINEAR resize, the\n"
    "filter the model was trained and evaluated with: its support widens when\n"
    "shrinking, so reductions are antialiased. OpenCV's INTER_LINEAR and\n"
    "INTER_AREA give other pixels and change the detections. No mean/std\n"
    "normalisation: the model expects plain 0..1 inputs.";
constexpr const char kDetectDoc[] =
    "이미지 1장 → 검출 리스트. conf 미만은 버린다.\n"
    "\n"
    "iou 는 받기만 하고 쓰지 않는다. D-FINE 은 DETR 계열이라 NMS 가 없고(쿼리가\n"
    "처음부터 중복 없이 나온다) 후처리는 그래프 안에 있다. 호출하는 detect 검사기의\n"
    "설정 스키마를 바꾸지 않으려고 인자만 남겨 둔다.";
constexpr const char kGetDetectorDoc[] = "전역 싱글턴 검출기를 돌려준다. 무거운 모델 로드는 1회만 한다.";
constexpr const char kAvailableDoc[] = "검출기를 쓸 수 있는지(진단·UI 표시용).";
constexpr const char kDeclaredNamesDoc[] =
    "The class names the model declares in its metadata, or None.\n"
    "\n"
    "The key \"names\" holds a JSON list (item k names class k) or an object\n"
    "from class id (\"0\", \"1\", ...) to name.  A declaration that cannot be\n"
    "used is ignored with a warning; the caller then names classes from COCO80.";
constexpr const char kSessionOptionsDoc[] =
    "The session's keyword arguments from the station's settings: none when nothing is set.\n"
    "\n"
    "QUARN_ORT_THREADS and QUARN_ORT_INTER_THREADS: ONNX Runtime's intra- and\n"
    "inter-op threads, 1 to 1024.  QUARN_ORT_SPIN: 0 lets idle worker threads\n"
    "sleep instead of busy-waiting, intra- and inter-op; 1 keeps them\n"
    "spinning, ONNX Runtime's default.  An empty value counts as not set.";

// The station's thread settings, read at construction in this order: the two
// thread counts, then whether idle threads busy-wait.
constexpr const char* const kThreadSettings[] = {"QUARN_ORT_THREADS", "QUARN_ORT_INTER_THREADS"};
constexpr const char kSpinSetting[] = "QUARN_ORT_SPIN";

constexpr const char* const kCoco80[] = {
    "person",         "bicycle",    "car",           "motorcycle",    "airplane",     "bus",           "train",
    "truck",          "boat",       "traffic light", "fire hydrant",  "stop sign",    "parking meter", "bench",
    "bird",           "cat",        "dog",           "horse",         "sheep",        "cow",           "elephant",
    "bear",           "zebra",      "giraffe",       "backpack",      "umbrella",     "handbag",       "tie",
    "suitcase",       "frisbee",    "skis",          "snowboard",     "sports ball",  "kite",          "baseball bat",
    "baseball glove", "skateboard", "surfboard",     "tennis racket", "bottle",       "wine glass",    "cup",
    "fork",           "knife",      "spoon",         "bowl",          "banana",       "apple",         "sandwich",
    "orange",         "broccoli",   "carrot",        "hot dog",       "pizza",        "donut",         "cake",
    "chair",          "couch",      "potted plant",  "bed",           "dining table", "toilet",        "tv",
    "laptop",         "mouse",      "remote",        "keyboard",      "cell phone",   "microwave",     "oven",
    "toaster",        "sink",       "refrigerator",  "book",          "clock",        "vase",          "scissors",
    "teddy bear",     "hair drier", "toothbrush",
};
static_assert(sizeof(kCoco80) / sizeof(kCoco80[0]) == 80, "the class table has 80 entries");

// ---------------------------------------------------------------------------
// Process-wide state: made by the create and exec steps and kept for the life
// of the process, as the module is loaded once per process.

// A reference the process state owns, handed to the C API as it is.
class Held {
public:
    Held& operator=(OwnedRef ref) noexcept {
        ref_ = std::move(ref);
        return *this;
    }
    PyObject* get() const noexcept { return ref_.get(); }
    operator PyObject*() const noexcept { return ref_.get(); }

private:
    OwnedRef ref_;
};

// Interned attribute and global names, as `name_<text>`.
// clang-format off: one list, laid out by hand
#define QUARN_NAMES(X)                                                                                        \
    X(np) X(cv2) X(Image) X(weights) X(logger) X(logging) X(threading) X(dataclass) X(Detection)              \
    X(DetectError) X(DfineDetector) X(COCO80) X(DEFAULT_WEIGHTS) X(_MODULE) X(_INPUT_SIZE) X(_CACHE) X(_LOCK) \
    X(_providers) X(is_available) X(get_detector) X(available) X(shape) X(ndim) X(cvtColor) X(COLOR_BGR2RGB) \
    X(COLOR_GRAY2RGB) X(fromarray) X(resize) X(BILINEAR) X(asarray) X(float32) X(float16) X(transpose)       \
    X(ascontiguousarray) X(array) X(int64) X(ndarray) X(size) X(astype) X(session) X(run) X(names) X(get)     \
    X(_image_dtype) X(_preprocess) X(model) X(provider) X(device) X(get_providers) X(get_inputs) X(type)     \
    X(InferenceSession) X(get_available_providers) X(warning) X(info) X(model_path) X(WeightsNotFound)       \
    X(name) X(startswith) X(getLogger) X(Lock) X(onnxruntime) X(__enter__) X(__exit__) X(__builtins__)      \
    X(__loader__) X(__file__) X(__package__) X(__path__) X(loader) X(origin) X(parent)                       \
    X(submodule_search_locations) X(__module__) X(__qualname__) X(__name__) X(__spec__) X(_initializing)     \
    X(empty) X(__version__) X(_declared_names) X(_session_options) X(providers) X(get_modelmeta)             \
    X(custom_metadata_map) X(json) X(loads) X(isascii) X(isdigit) X(os) X(environ) X(SessionOptions)         \
    X(intra_op_num_threads) X(inter_op_num_threads) X(add_session_config_entry) X(sess_options)
// clang-format on

struct Names {
#define QUARN_DECLARE(n) Held name_##n;
    QUARN_NAMES(QUARN_DECLARE)
#undef QUARN_DECLARE
};

// Texts and values the functions pass to the libraries.  The three lists give
// each member with its value, once: the member is declared and made from it.
// clang-format off: tables, laid out by hand
#define QUARN_INTERNED(X)                                                       \
    X(str_cpu, "cpu")                                                           \
    X(str_cuda, "cuda")                                                         \
    X(str_auto, "auto")                                                         \
    X(str_cpu_provider, "CPUExecutionProvider")                                 \
    X(str_cuda_provider, "CUDAExecutionProvider")                               \
    X(str_float16, "float16")                                                   \
    X(key_images, "images")                                                     \
    X(key_sizes, "orig_target_sizes")                                           \
    X(key_intra_spinning, "session.intra_op.allow_spinning")                    \
    X(key_inter_spinning, "session.inter_op.allow_spinning")
// Logged texts and formats, and DetectError's texts.
#define QUARN_TEXTS(X)                                                                                                 \
    X(msg_cuda_missing, "CUDA requested but onnxruntime-gpu is not installed; running on CPU")                         \
    X(fmt_provider_fallback, "%s requested but %s is in use \u2014 CUDA runtime (cuBLAS/cuDNN) may be missing")        \
    X(fmt_loaded, "D-FINE ONNX loaded: %s (%s)")                                                                       \
    X(fmt_pillow_unknown,                                                                                              \
      "Pillow %s is not a release whose BILINEAR resize the fused preprocessing reproduces (%s); "                     \
      "images are preprocessed through Pillow itself")                                                                 \
    X(msg_ort_missing, "onnxruntime is required. Reinstall: pip install quarn")                                        \
    X(msg_bad_input, "detect input is empty or not an ndarray")                                                        \
    X(msg_inference_failed, "detect inference failed: ") /* the cause's text follows */                                \
    X(fmt_names_ignored,                                                                                               \
      "Class names in %s ignored: metadata 'names' must be a non-empty JSON list of names or an object from class "    \
      "id (0, 1, ...) to name, each id once; using the COCO80 names")
#define QUARN_INTS(X) X(int_0, 0) X(int_1, 1) X(int_3, 3) X(int_4, 4) X(int_18, 18) X(int_1024, 1024)
// clang-format on

struct Constants {
#define QUARN_DECLARE(member, value) Held member;
    QUARN_INTERNED(QUARN_DECLARE)
    QUARN_TEXTS(QUARN_DECLARE)
    QUARN_INTS(QUARN_DECLARE)
#undef QUARN_DECLARE
    Held gpu_prefixes;             // ("CUDA", "Tensorrt")
    Held float_255;                // 255.0
    Held slice_to_2;               // slice(None, 2)
    Held axes_chw;                 // (2, 0, 1)
    Held index_batch;              // (None, Ellipsis)
    KeywordNames<1> kw_dtype;      // ("dtype",)
    KeywordNames<1> kw_copy;       // ("copy",)
    KeywordNames<1> kw_pair_hook;  // ("object_pairs_hook",)
    Held kw_detection;             // the names of the fields detect fills
    Held not_json;                 // (ValueError, RecursionError)
    Held setting_names[3];         // the thread settings, then the spin setting
    Held spin_values;              // ("0", "1")
};

// What the library path reads from the libraries.  The fused path stands in
// for those calls only while each still holds the object seen at import, so
// that a patched function or a rebound constant takes effect at once.
enum class Owner { cv2, image, image_class, np };
struct WatchedName {
    Owner owner;
    const char* name;
    long constant;  // the value the kernel reproduces, for the codes it stands in for; else -1
};
constexpr WatchedName kWatchedNames[] = {
    {Owner::cv2, "cvtColor", -1},
    {Owner::cv2, "COLOR_BGR2RGB", 4},
    {Owner::cv2, "COLOR_GRAY2RGB", 8},
    {Owner::image, "fromarray", -1},
    {Owner::image, "frombuffer", -1},
    {Owner::image, "BILINEAR", 2},
    {Owner::image, "Image", -1},
    {Owner::image_class, "resize", -1},
    {Owner::image_class, "tobytes", -1},
    {Owner::image_class, "__array_interface__", -1},
    {Owner::np, "asarray", -1},
    {Owner::np, "float32", -1},
    {Owner::np, "transpose", -1},
    {Owner::np, "ascontiguousarray", -1},
    {Owner::np, "int64", -1},
    {Owner::np, "array", -1},
};
constexpr size_t kWatchedCount = sizeof(kWatchedNames) / sizeof(kWatchedNames[0]);

struct Watched {
    Held owner;
    Held name;
    Held seen;
};

// The libraries bound by the module body, kept to recognise them later.  The
// native paths stand in for their calls only while the module still uses
// these very objects, so that rebinding one takes effect at once.
struct Libraries {
    Held mod_cv2;
    Held mod_image;
    Held mod_np;
    Held type_ndarray;
    Held dtype_float16;
    Held fn_empty;  // np.empty as imported: the library path never calls it
    PassOrder pass_order = PassOrder::horizontal_first;
    bool pillow_version_known = false;  // the pass order matches the Pillow in use
    bool fused_preprocess = false;      // that, and every watched name was found
    Held pillow_shown;                  // when the pass order is not known: Pillow's version, as the note shows it
    Watched watched[kWatchedCount];
};

struct ProcessState : Names, Constants, Libraries {
    int64_t interpreter = -1;   // the one interpreter the module may live in
    OwnedRef module;            // the module whose exec step started and did not fail
    bool pillow_noted = false;  // the note on an unknown Pillow release was logged
};

// Never destroyed: its references belong to the interpreter, which is gone
// by the time static destructors would run.
ProcessState& state = *new ProcessState;

// Made by the first create step; kept when a later step fails.
void make_names() {
    if (state.name_np) return;
    Names names;
#define QUARN_INTERN(n) names.name_##n = check(PyUnicode_InternFromString(#n));
    QUARN_NAMES(QUARN_INTERN)
#undef QUARN_INTERN
    static_cast<Names&>(state) = std::move(names);
}

OwnedRef intern(const char* text) { return check(PyUnicode_InternFromString(text)); }
OwnedRef text(const char* utf8) { return check(PyUnicode_FromString(utf8)); }

// The constants that are more than one text or number.
void make_compound_constants(Constants& c) {
    c.gpu_prefixes = check(Py_BuildValue("(ss)", "CUDA", "Tensorrt"));
    c.float_255 = check(PyFloat_FromDouble(255.0));
    OwnedRef two = check(PyLong_FromLong(2));
    c.slice_to_2 = check(PySlice_New(Py_None, two.get(), Py_None));
    c.axes_chw = check(Py_BuildValue("(iii)", 2, 0, 1));
    c.index_batch = check(PyTuple_Pack(2, Py_None, Py_Ellipsis));
    c.kw_dtype = keyword_names({"dtype"});
    c.kw_copy = keyword_names({"copy"});
    c.kw_pair_hook = keyword_names({"object_pairs_hook"});
    c.kw_detection = check(PyTuple_New(kDetectedFieldCount));
    for (size_t i = 0; i < kDetectedFieldCount; ++i)
        PyTuple_SET_ITEM(c.kw_detection.get(), i, intern(kDetectionFields[i].name).release());
    c.not_json = check(PyTuple_Pack(2, PyExc_ValueError, PyExc_RecursionError));
    for (size_t i = 0; i < 2; ++i) c.setting_names[i] = intern(kThreadSettings[i]);
    c.setting_names[2] = intern(kSpinSetting);
    c.spin_values = check(Py_BuildValue("(ss)", "0", "1"));
}

// Made by the first exec step; all or nothing.
void make_constants() {
    if (state.str_cpu) return;
    Constants c;
#define QUARN_MAKE_INTERNED(member, value) c.member = intern(value);
    QUARN_INTERNED(QUARN_MAKE_INTERNED)
#undef QUARN_MAKE_INTERNED
#define QUARN_MAKE_TEXT(member, value) c.member = text(value);
    QUARN_TEXTS(QUARN_MAKE_TEXT)
#undef QUARN_MAKE_TEXT
#define QUARN_MAKE_INT(member, value) c.member = check(PyLong_FromLong(value));
    QUARN_INTS(QUARN_MAKE_INT)
#undef QUARN_MAKE_INT
    make_compound_constants(c);
    static_cast<Constants&>(state) = std::move(c);
}

bool is_exact_ndarray(PyObject* obj) {
    return state.type_ndarray && Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(state.type_ndarray.get());
}

// ---------------------------------------------------------------------------
// Statement lines.  A traceback entry points at the statement that failed;
// the module body's lines are absolute, a function's count from its `def`.

namespace module_line {
enum : int {
    first = 1,
    import_logging = 40,
    import_threading = 41,
    import_dataclass = 42,
    import_cv2 = 44,
    import_numpy = 45,
    import_image = 46,
    import_weights = 48,
    logger = 50,
    default_weights = 52,
    module_key = 53,
    input_size = 54,
    coco80 = 56,
    cache = 68,
    lock = 69,
    class_detect_error = 72,
    class_detection = 76,
    def_is_available = 96,
    def_providers = 101,
    class_detector = 114,
    def_init = 117,
    def_preprocess = 148,
    def_detect = 184,
    def_get_detector = 226,
    def_available = 236,
    def_declared_names = 247,
    def_session_options = 285,
};
}  // namespace module_line

namespace is_available_line {
enum : int { available = 4 };
}

namespace providers_line {
enum : int { import_ort = 2, if_cpu = 4, if_cuda_offered = 6, if_cuda = 9, warn_cuda_missing = 10 };
}

namespace init_line {
enum : int {
    import_ort = 2,
    raise_ort_missing = 4,
    model_path = 6,
    except_not_found = 7,
    raise_not_found = 8,
    set_model = 10,
    requested = 11,
    set_session = 12,
    actual = 14,
    set_provider = 15,
    set_device = 16,
    if_fallback = 17,
    warn_fallback = 18,
    log_loaded = 24,
    set_names = 25,
    input_type = 26,
    set_image_dtype = 27,
};
}  // namespace init_line

namespace preprocess_line {
enum : int {
    fused = 15,
    unpack_shape = 16,
    if_colour = 17,
    convert_colour = 18,
    convert_grey = 20,
    resize = 21,
    scale = 22,
    to_chw = 23,
    return_inputs = 24,
};
}  // namespace preprocess_line

namespace detect_line {
enum : int {
    check_input = 11,
    raise_bad_input = 12,
    preprocess = 14,
    cast = 15,
    feed = 17,
    run = 19,
    raise_failed = 21,
    outputs = 23,
    keep = 24,
    result = 25,
    zip = 26,
    unpack_box = 30,
    class_id = 31,
    class_name = 32,
    detection = 33,
    append = 34,
};
}  // namespace detect_line

namespace get_detector_line {
enum : int { device_given = 2, key = 3, with_lock = 4, if_missing = 6, construct = 7, store = 8, return_cached = 9 };
}

namespace available_line {
enum : int { probe = 2 };
}

namespace declared_names_line {
enum : int {
    import_json = 7,
    get_modelmeta = 10,
    text = 13,
    loads = 19,
    for_pairs = 23,
    cls_id = 26,
    if_unusable = 27,
    store = 29,
    warn_ignored = 33,
};
}  // namespace declared_names_line

namespace session_options_line {
enum : int {
    import_os = 8,
    threads = 10,
    inter = 11,
    spin = 12,
    if_bad_count = 14,
    raise_bad_count = 15,
    if_bad_spin = 16,
    raise_bad_spin = 17,
    options = 21,
    set_intra = 23,
    set_inter = 25,
    spin_intra = 27,
    spin_inter = 28,
};
}  // namespace session_options_line

// ---------------------------------------------------------------------------
// Helpers shared by the functions

OwnedRef global(Frame& frame, PyObject* name) { return get_global(frame.globals, name); }

OwnedRef import_onnxruntime() { return check(PyImport_Import(state.name_onnxruntime)); }

// `logger.<level>`, looked up before the call's arguments are evaluated.
OwnedRef logger_method(Frame& site, PyObject* level) {
    OwnedRef logger = global(site, state.name_logger);
    return get_attr(logger.get(), level);
}

// try:
//     return attempt()
// except <a class `matches` accepts> as exc:
//     raise DetectError(message(exc)) from exc      # at `raise_line`
// `matches` may evaluate the except clause's expression, at its own line.
template <typename Attempt, typename Matches, typename Message>
OwnedRef raise_detect_error_from(Frame& site, Attempt attempt, Matches matches, int raise_line, Message message) {
    try {
        return attempt();
    } catch (const PythonError&) {
        CaughtError exc(site);
        if (!matches(exc)) exc.reraise();
        site.at(raise_line);
        OwnedRef detect_error = global(site, state.name_DetectError);
        OwnedRef text = message(exc.value());
        exc.raise_from(detect_error.get(), text.get());
    }
}

// np.array([[width, height]], dtype=np.int64)
OwnedRef target_sizes(PyObject* np, PyObject* width, PyObject* height) {
    OwnedRef array = get_attr(np, state.name_array);
    OwnedRef wh = check(Py_BuildValue("[[OO]]", width, height));
    OwnedRef int64 = get_attr(np, state.name_int64);
    return call_kw(array.get(), {wh.get()}, state.kw_dtype, {int64.get()});
}

// ---------------------------------------------------------------------------
// Probes and provider choice

OwnedRef is_available_impl(PyObject* const* args, Frame& site) {
    PyObject* model = args[0];
    site.at(is_available_line::available);
    OwnedRef weights = global(site, state.name_weights);
    OwnedRef key = global(site, state.name__MODULE);
    return call_method(weights.get(), state.name_available, key.get(), model);
}

OwnedRef providers_impl(PyObject* const* args, Frame& site) {
    PyObject* device = args[0];
    site.at(providers_line::import_ort);
    OwnedRef ort = import_onnxruntime();
    site.at(providers_line::if_cpu);
    if (compare(device, state.str_cpu, Py_EQ)) return check(Py_BuildValue("[O]", state.str_cpu_provider.get()));
    site.at(providers_line::if_cuda_offered);
    OwnedRef offered = call_method(ort.get(), state.name_get_available_providers);
    OwnedRef offered_set = check(PySet_New(offered.get()));
    if (check(PySet_Contains(offered_set.get(), state.str_cuda_provider)))
        return check(Py_BuildValue("[OO]", state.str_cuda_provider.get(), state.str_cpu_provider.get()));
    site.at(providers_line::if_cuda);
    if (compare(device, state.str_cuda, Py_EQ)) {
        site.at(providers_line::warn_cuda_missing);
        OwnedRef logger = global(site, state.name_logger);
        call_method(logger.get(), state.name_warning, state.msg_cuda_missing);
    }
    return check(Py_BuildValue("[O]", state.str_cpu_provider.get()));
}

// ---------------------------------------------------------------------------
// DfineDetector.__init__

// try: import onnxruntime as ort
// except ImportError as exc: raise DetectError("onnxruntime is required. ...") from exc
OwnedRef import_onnxruntime_for_init(Frame& site) {
    site.at(init_line::import_ort);
    return raise_detect_error_from(
        site, import_onnxruntime, [](CaughtError& exc) { return exc.matches(PyExc_ImportError); },
        init_line::raise_ort_missing, [](PyObject*) { return OwnedRef::borrow(state.msg_ort_missing); });
}

// try: path = weights.model_path(_MODULE, model)
// except weights.WeightsNotFound as exc: raise DetectError(str(exc)) from exc
OwnedRef resolve_model(PyObject* model, Frame& site) {
    site.at(init_line::model_path);
    auto model_path = [&] {
        OwnedRef weights = global(site, state.name_weights);
        OwnedRef key = global(site, state.name__MODULE);
        return call_method(weights.get(), state.name_model_path, key.get(), model);
    };
    auto is_not_found = [&](CaughtError& exc) {
        site.at(init_line::except_not_found);
        OwnedRef weights_now = global(site, state.name_weights);
        return exc.matches(get_attr(weights_now.get(), state.name_WeightsNotFound).get());
    };
    return raise_detect_error_from(site, model_path, is_not_found, init_line::raise_not_found, str);
}

// The keyword arguments of `func(..., **extra)`: `extra` merged into
// `kwargs` as the interpreter merges them, with its messages for a value that
// is not a mapping and for a keyword given twice.
void merge_keywords(PyObject* func, PyObject* kwargs, PyObject* extra) {
    if (_PyDict_MergeEx(kwargs, extra, 2) == 0) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    OwnedRef type_ref = OwnedRef::steal(type), value_ref = OwnedRef::steal(value), tb_ref = OwnedRef::steal(tb);
    const bool not_mapping = PyErr_GivenExceptionMatches(type, PyExc_AttributeError);
    const bool twice = PyErr_GivenExceptionMatches(type, PyExc_KeyError) && value && PyTuple_Check(value) &&
                       PyTuple_GET_SIZE(value) == 1;
    if (!not_mapping && !twice) {
        PyErr_Restore(type_ref.release(), value_ref.release(), tb_ref.release());
        throw PythonError{};
    }
    OwnedRef shown = check(_PyObject_FunctionStr(func));
    if (not_mapping)
        PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", shown.get(),
                     Py_TYPE(extra)->tp_name);
    else
        PyErr_Format(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", shown.get(),
                     PyTuple_GET_ITEM(value, 0));
    throw PythonError{};
}

// self.session = ort.InferenceSession(str(path), providers=requested, **_session_options(ort))
// With nothing set, the options are no arguments at all: the call is the plain one.
void open_session(PyObject* self, PyObject* ort, PyObject* path, PyObject* requested, Frame& site) {
    site.at(init_line::set_session);
    OwnedRef session_type = get_attr(ort, state.name_InferenceSession);
    OwnedRef path_text = str(path);
    OwnedRef kwargs = check(PyDict_New());
    check(PyDict_SetItem(kwargs.get(), state.name_providers, requested));
    OwnedRef options_for = global(site, state.name__session_options);
    OwnedRef options = call(options_for.get(), ort);
    merge_keywords(session_type.get(), kwargs.get(), options.get());
    OwnedRef positional = check(PyTuple_Pack(1, path_text.get()));
    OwnedRef session = check(PyObject_Call(session_type.get(), positional.get(), kwargs.get()));
    set_attr(self, state.name_session, session.get());
}

// The provider in use and the device it means ("cuda" for CUDA/TensorRT).
// Each use reads `self.session` and `self.provider` back, as the statements do.
void read_provider(PyObject* self, Frame& site) {
    site.at(init_line::actual);
    OwnedRef session = get_attr(self, state.name_session);
    OwnedRef actual = call_method(session.get(), state.name_get_providers);
    site.at(init_line::set_provider);
    OwnedRef provider =
        is_true(actual.get()) ? get_item(actual.get(), state.int_0) : OwnedRef::borrow(state.str_cpu_provider);
    set_attr(self, state.name_provider, provider.get());
    site.at(init_line::set_device);
    OwnedRef shown = get_attr(self, state.name_provider);
    OwnedRef on_gpu = call_method(shown.get(), state.name_startswith, state.gpu_prefixes);
    set_attr(self, state.name_device, is_true(on_gpu.get()) ? state.str_cuda : state.str_cpu);
}

// if requested[0] != self.provider: logger.warning(..., requested[0], self.provider)
void warn_on_fallback(PyObject* self, PyObject* requested, Frame& site) {
    site.at(init_line::if_fallback);
    OwnedRef first = get_item(requested, state.int_0);
    OwnedRef provider = get_attr(self, state.name_provider);
    if (!compare(first.get(), provider.get(), Py_NE)) return;
    site.at(init_line::warn_fallback);
    OwnedRef warning = logger_method(site, state.name_warning);
    OwnedRef requested_first = get_item(requested, state.int_0);
    OwnedRef in_use = get_attr(self, state.name_provider);
    call(warning.get(), state.fmt_provider_fallback, requested_first.get(), in_use.get());
}

// logger.info("D-FINE ONNX loaded: %s (%s)", path.name, self.provider)
void log_loaded(PyObject* self, PyObject* path, Frame& site) {
    site.at(init_line::log_loaded);
    OwnedRef info = logger_method(site, state.name_info);
    OwnedRef file_name = get_attr(path, state.name_name);
    OwnedRef in_use = get_attr(self, state.name_provider);
    call(info.get(), state.fmt_loaded, file_name.get(), in_use.get());
}

// self.names = _declared_names(self.session, path.name) or dict(enumerate(COCO80))
void set_class_names(PyObject* self, PyObject* path, Frame& site) {
    site.at(init_line::set_names);
    OwnedRef declared_names = global(site, state.name__declared_names);
    OwnedRef session = get_attr(self, state.name_session);
    OwnedRef file_name = get_attr(path, state.name_name);
    OwnedRef declared = call(declared_names.get(), session.get(), file_name.get());
    if (is_true(declared.get())) {
        set_attr(self, state.name_names, declared.get());
        return;
    }
    OwnedRef coco = global(site, state.name_COCO80);
    OwnedRef names = check(PyDict_New());
    OwnedRef it = check(PyObject_GetIter(coco.get()));
    for (long index = 0;; ++index) {
        OwnedRef entry = next(it.get());
        if (!entry) break;
        OwnedRef key = check(PyLong_FromLong(index));
        check(PyDict_SetItem(names.get(), key.get(), entry.get()));
    }
    set_attr(self, state.name_names, names.get());
}

// t = self.session.get_inputs()[0].type
// self._image_dtype = np.float16 if "float16" in t else np.float32
void set_image_dtype(PyObject* self, Frame& site) {
    site.at(init_line::input_type);
    OwnedRef session = get_attr(self, state.name_session);
    OwnedRef inputs = call_method(session.get(), state.name_get_inputs);
    OwnedRef first_input = get_item(inputs.get(), state.int_0);
    OwnedRef type_text = get_attr(first_input.get(), state.name_type);
    site.at(init_line::set_image_dtype);
    const bool half = check(PySequence_Contains(type_text.get(), state.str_float16));
    OwnedRef np = global(site, state.name_np);
    OwnedRef dtype = get_attr(np.get(), half ? state.name_float16 : state.name_float32);
    set_attr(self, state.name__image_dtype, dtype.get());
}

OwnedRef init_impl(PyObject* const* args, Frame& site) {
    PyObject* self = args[0];
    PyObject* model = args[1];
    PyObject* device = args[2];

    OwnedRef ort = import_onnxruntime_for_init(site);
    OwnedRef path = resolve_model(model, site);
    site.at(init_line::set_model);
    set_attr(self, state.name_model, model);
    site.at(init_line::requested);
    OwnedRef providers = global(site, state.name__providers);
    OwnedRef requested = call(providers.get(), device);
    open_session(self, ort.get(), path.get(), requested.get(), site);
    read_provider(self, site);
    warn_on_fallback(self, requested.get(), site);
    log_loaded(self, path.get(), site);
    set_class_names(self, path.get(), site);
    set_image_dtype(self, site);
    return OwnedRef::borrow(Py_None);
}

// ---------------------------------------------------------------------------
// DfineDetector._preprocess

// Releases a buffer export on every way out.
struct BufferView {
    Py_buffer view{};
    bool held = false;
    // False, with no error left set, when `obj` exports no such buffer.
    bool acquire(PyObject* obj, int flags) {
        held = PyObject_GetBuffer(obj, &view, flags) == 0;
        if (!held) PyErr_Clear();
        return held;
    }
    ~BufferView() {
        if (held && may_touch_refcounts()) PyBuffer_Release(&view);
    }
};

// Whether the writable export `view` is a C-contiguous array of exactly
// `shape`, of native items with struct format `format` (one character).
bool is_exact_output(const Py_buffer& view, char format, const Py_ssize_t* shape, int ndim) {
    if (view.ndim != ndim || view.readonly || !view.format || view.format[0] != format || view.format[1] != '\0')
        return false;
    for (int i = 0; i < ndim; ++i)
        if (view.shape[i] != shape[i]) return false;
    return PyBuffer_IsContiguous(&view, 'C') == 1;
}

// A new array from the np.empty seen at import, returned only when it is an
// ndarray the native code may fill: anything else, or a failure, gives an
// empty reference, and the caller takes the library path.
OwnedRef empty_for_native(PyObject* dtype, char format, const Py_ssize_t* shape, int ndim, BufferView& out) {
    OwnedRef dims = check(PyTuple_New(ndim));
    for (int i = 0; i < ndim; ++i) PyTuple_SET_ITEM(dims.get(), i, check(PyLong_FromSsize_t(shape[i])).release());
    if (!state.fn_empty) return {};
    PyObject* args[] = {dims.get(), dtype};
    OwnedRef array = OwnedRef::steal(PyObject_Vectorcall(state.fn_empty, args, 2, nullptr));
    if (!array) {
        // The library path never calls np.empty: its failure is not the
        // caller's to see, unless it is an interruption.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
        PyErr_Clear();
        return {};
    }
    if (is_exact_ndarray(array.get()) && out.acquire(array.get(), PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_STRIDES) &&
        is_exact_output(out.view, format, shape, ndim))
        return array;
    return {};
}

// The fused path's checks.  None leaves an error set: one that cannot read
// what it tests answers no, and the library path then meets the same failure
// where the statements do.

// Whether every attribute the library path would read still holds the object
// seen at import (a few dictionary lookups and identity tests).
bool libraries_unchanged() {
    if (!state.fused_preprocess) return false;
    for (const Watched& w : state.watched) {
        OwnedRef now = OwnedRef::steal(PyObject_GetAttr(w.owner, w.name));
        if (now.get() != w.seen) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

bool is_bound(Frame& site, PyObject* name, PyObject* expected) {
    PyObject* value = PyDict_GetItemWithError(site.globals, name);
    if (!value) PyErr_Clear();
    return value && value == expected;
}

// Whether the image and every library the library path would call are the
// ones the kernel reproduces.
bool fused_path_applies(PyObject* image, Frame& site) {
    return is_exact_ndarray(image) && is_bound(site, state.name_cv2, state.mod_cv2) &&
           is_bound(site, state.name_Image, state.mod_image) && is_bound(site, state.name_np, state.mod_np) &&
           libraries_unchanged();
}

// The side of the network input, when it is one the kernel can produce.
int fused_input_size(Frame& site) {
    PyObject* value = PyDict_GetItemWithError(site.globals, state.name__INPUT_SIZE);
    const long side = value && PyLong_CheckExact(value) ? PyLong_AsLong(value) : 0;
    PyErr_Clear();  // not found, or too large for a long
    return side >= 1 && side <= 16384 ? static_cast<int>(side) : 0;
}

uint64_t magnitude(int64_t v) { return v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v); }

// An 8-bit BGR(A) or grey image the kernel reads in place, or false.
bool image_view_of(const Py_buffer& view, ImageView& out) {
    if (view.itemsize != 1 || !view.format || view.format[0] != 'B' || view.format[1] != '\0') return false;
    if (view.ndim != 2 && !(view.ndim == 3 && (view.shape[2] == 3 || view.shape[2] == 4))) return false;
    if (view.shape[0] < 1 || view.shape[1] < 1) return false;
    out.data = static_cast<const uint8_t*>(view.buf);
    out.height = view.shape[0];
    out.width = view.shape[1];
    out.channels = view.ndim == 3 ? static_cast<int>(view.shape[2]) : 1;
    out.row_stride = view.strides[0];
    out.col_stride = view.strides[1];
    out.chan_stride = view.ndim == 3 ? view.strides[2] : 0;
    // Rows closer together than a row is long: OpenCV refuses some of these,
    // so the library path decides.
    if (out.height > 1 && magnitude(out.row_stride) / static_cast<uint64_t>(out.width) < magnitude(out.col_stride))
        return false;
    return true;
}

// Runs the pixel kernel without the GIL, so threads sharing a detector
// preprocess in parallel; the buffer exports keep both arrays alive.  C++
// exceptions stop here: whatever the kernel declines or fails at (sides
// beyond its range, memory), the library path decides.
bool run_preprocess_kernel(const ImageView& src, int side, float* dst) {
    bool done = false;
    PreprocessOptions options;
    options.pass_order = state.pass_order;
    run_without_gil([&] {
        try {
            done = preprocess_bgr_to_chw(src, side, dst, options);
        } catch (ForcedUnwind&) {
            throw;  // a thread being ended goes on unwinding
        } catch (...) {
            done = false;
        }
    });
    return done;
}

// The library path's result computed in one native pass, or an empty
// reference when the image is outside the kernel's domain.
OwnedRef preprocess_fused(PyObject* image, Frame& site) {
    const int side = fused_path_applies(image, site) ? fused_input_size(site) : 0;
    BufferView input;
    if (side == 0 || !input.acquire(image, PyBUF_RECORDS_RO)) return {};
    ImageView src{};
    if (!image_view_of(input.view, src)) return {};
    const Py_ssize_t shape[] = {1, 3, side, side};
    OwnedRef float32 = get_attr(state.mod_np, state.name_float32);
    BufferView output;
    OwnedRef tensor = empty_for_native(float32.get(), 'f', shape, 4, output);
    if (!tensor || !run_preprocess_kernel(src, side, static_cast<float*>(output.view.buf))) return {};
    OwnedRef width = check(PyLong_FromSsize_t(src.width));
    OwnedRef height = check(PyLong_FromSsize_t(src.height));
    OwnedRef sizes = target_sizes(state.mod_np, width.get(), height.get());
    return check(PyTuple_Pack(2, tensor.get(), sizes.get()));
}

// if image.ndim == 3: rgb = cv2.cvtColor(image, cv2.COLOR_BGR2RGB)
// else: rgb = cv2.cvtColor(image, cv2.COLOR_GRAY2RGB)
OwnedRef to_rgb(PyObject* image, Frame& site) {
    site.at(preprocess_line::if_colour);
    OwnedRef ndim = get_attr(image, state.name_ndim);
    const bool colour = compare(ndim.get(), state.int_3, Py_EQ);
    site.at(colour ? preprocess_line::convert_colour : preprocess_line::convert_grey);
    OwnedRef cv2 = global(site, state.name_cv2);
    OwnedRef convert = get_attr(cv2.get(), state.name_cvtColor);
    OwnedRef code = get_attr(cv2.get(), colour ? state.name_COLOR_BGR2RGB : state.name_COLOR_GRAY2RGB);
    return call(convert.get(), image, code.get());
}

// Image.fromarray(rgb).resize((_INPUT_SIZE, _INPUT_SIZE), Image.BILINEAR)
OwnedRef resize_for_network(PyObject* rgb, Frame& site) {
    site.at(preprocess_line::resize);
    OwnedRef image_mod = global(site, state.name_Image);
    OwnedRef size = global(site, state.name__INPUT_SIZE);
    OwnedRef wrapped = call_method(image_mod.get(), state.name_fromarray, rgb);
    OwnedRef target = check(PyTuple_Pack(2, size.get(), size.get()));
    OwnedRef bilinear = get_attr(image_mod.get(), state.name_BILINEAR);
    return call_method(wrapped.get(), state.name_resize, target.get(), bilinear.get());
}

OwnedRef preprocess_impl(PyObject* const* args, Frame& site) {
    PyObject* image = args[1];

    site.at(preprocess_line::fused);
    if (OwnedRef fused = preprocess_fused(image, site)) return fused;

    site.at(preprocess_line::unpack_shape);
    OwnedRef shape = get_attr(image, state.name_shape);
    OwnedRef hw[2];
    unpack(get_item(shape.get(), state.slice_to_2).get(), hw, 2);
    OwnedRef rgb = to_rgb(image, site);
    OwnedRef resized = resize_for_network(rgb.get(), site);

    site.at(preprocess_line::scale);
    OwnedRef np = global(site, state.name_np);
    OwnedRef asarray = get_attr(np.get(), state.name_asarray);
    OwnedRef float32 = get_attr(np.get(), state.name_float32);
    OwnedRef pixels = call_kw(asarray.get(), {resized.get()}, state.kw_dtype, {float32.get()});
    OwnedRef scaled = check(PyNumber_TrueDivide(pixels.get(), state.float_255));

    site.at(preprocess_line::to_chw);
    OwnedRef chw = call_method(np.get(), state.name_transpose, scaled.get(), state.axes_chw);
    OwnedRef batched = get_item(chw.get(), state.index_batch);

    site.at(preprocess_line::return_inputs);
    OwnedRef tensor = call_method(np.get(), state.name_ascontiguousarray, batched.get());
    OwnedRef sizes = target_sizes(np.get(), hw[1].get(), hw[0].get());
    return check(PyTuple_Pack(2, tensor.get(), sizes.get()));
}

// ---------------------------------------------------------------------------
// DfineDetector.detect

// `x.astype(np.float16, copy=False)` for a C-contiguous float32 array, done
// natively: numpy's cast takes longer than the whole fused preprocessing.
// The bits are numpy's; values the native cast does not cover exactly, or
// anything but the module's own numpy and arrays, give an empty reference,
// and numpy does the cast.
OwnedRef cast_to_half(PyObject* x, PyObject* dtype, Frame& site) {
    BufferView input;
    if (!state.dtype_float16 || dtype != state.dtype_float16 || !is_exact_ndarray(x) ||
        !is_bound(site, state.name_np, state.mod_np) || !input.acquire(x, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT))
        return {};
    const Py_buffer& in = input.view;
    if (in.itemsize != 4 || !in.format || std::strcmp(in.format, "f") != 0) return {};
    BufferView output;
    OwnedRef half = empty_for_native(state.dtype_float16, 'e', in.shape, in.ndim, output);
    if (!half) return {};
    bool exact = false;
    const float* src = static_cast<const float*>(in.buf);
    uint16_t* dst = static_cast<uint16_t*>(output.view.buf);
    const size_t count = static_cast<size_t>(in.len / 4);
    run_without_gil([&] { exact = float_to_half_exact(src, dst, count); });
    return exact ? half : OwnedRef();
}

// isinstance(image, np.ndarray) and image.size != 0
bool is_usable_input(PyObject* image, Frame& site) {
    site.at(detect_line::check_input);
    OwnedRef np = global(site, state.name_np);
    OwnedRef ndarray = get_attr(np.get(), state.name_ndarray);
    if (!check(PyObject_IsInstance(image, ndarray.get()))) return false;
    OwnedRef size = get_attr(image, state.name_size);
    return !compare(size.get(), state.int_0, Py_EQ);
}

// x = x.astype(self._image_dtype, copy=False)
OwnedRef cast_input(PyObject* self, PyObject* x, Frame& site) {
    site.at(detect_line::cast);
    OwnedRef dtype = get_attr(self, state.name__image_dtype);
    if (OwnedRef half = cast_to_half(x, dtype.get(), site)) return half;
    OwnedRef astype = get_attr(x, state.name_astype);
    return call_kw(astype.get(), {dtype.get()}, state.kw_copy, {Py_False});
}

// try:
//     labels, boxes, scores = self.session.run(None, {"images": x, "orig_target_sizes": sizes})
// except Exception as exc:
//     raise DetectError(f"detect inference failed: {exc}") from exc
void run_session(PyObject* self, PyObject* x, PyObject* sizes, Frame& site, OwnedRef* outputs) {
    auto run = [&] {
        site.at(detect_line::feed);
        OwnedRef session = get_attr(self, state.name_session);
        OwnedRef feed = check(PyDict_New());
        check(PyDict_SetItem(feed.get(), state.key_images, x));
        check(PyDict_SetItem(feed.get(), state.key_sizes, sizes));
        site.at(detect_line::run);
        OwnedRef result = call_method(session.get(), state.name_run, Py_None, feed.get());
        unpack(result.get(), outputs, 3);
        return result;
    };
    auto message = [](PyObject* exc) { return check(PyUnicode_Concat(state.msg_inference_failed, str(exc).get())); };
    raise_detect_error_from(
        site, run, [](CaughtError& exc) { return exc.matches(PyExc_Exception); }, detect_line::raise_failed, message);
}

// The values of the fields detect fills, named as the fields.
struct DetectedFields {
#define QUARN_FIELD_MEMBER(field, annotation) OwnedRef field;
    QUARN_DETECTED_FIELDS(QUARN_FIELD_MEMBER)
#undef QUARN_FIELD_MEMBER
};

// One kept row: (label, box, score) -> Detection(cls_id=, cls_name=, conf=, xyxy=).
OwnedRef make_detection(PyObject* self, PyObject* label, PyObject* box, PyObject* score, Frame& site) {
    site.at(detect_line::unpack_box);
    OwnedRef corners[4];
    unpack(box, corners, 4);
    DetectedFields f;
    site.at(detect_line::class_id);
    f.cls_id = check(PyNumber_Long(label));
    site.at(detect_line::class_name);
    OwnedRef names = get_attr(self, state.name_names);
    OwnedRef fallback = str(f.cls_id.get());
    f.cls_name = call_method(names.get(), state.name_get, f.cls_id.get(), fallback.get());
    f.conf = check(PyNumber_Float(score));
    f.xyxy = check(PyTuple_New(4));
    for (int i = 0; i < 4; ++i) PyTuple_SET_ITEM(f.xyxy.get(), i, check(PyNumber_Long(corners[i].get())).release());
    site.at(detect_line::detection);
    OwnedRef detection = global(site, state.name_Detection);
    // In the order of the keyword names, which the same list made.
#define QUARN_FIELD_ARGUMENT(field, annotation) f.field.get(),
    PyObject* argv[] = {QUARN_DETECTED_FIELDS(QUARN_FIELD_ARGUMENT)};
#undef QUARN_FIELD_ARGUMENT
    static_assert(sizeof(argv) / sizeof(argv[0]) == kDetectedFieldCount, "one argument per keyword name");
    return check(PyObject_Vectorcall(detection.get(), argv, 0, state.kw_detection));
}

// labels, boxes, scores = labels[0], boxes[0], scores[0]
// keep = scores >= float(conf)
// result = []
// for label, box, score in zip(labels[keep], boxes[keep], scores[keep]): ...
OwnedRef confident_detections(PyObject* self, const OwnedRef* outputs, PyObject* conf, Frame& site) {
    site.at(detect_line::outputs);
    OwnedRef columns[3];
    for (int i = 0; i < 3; ++i) columns[i] = get_item(outputs[i].get(), state.int_0);
    site.at(detect_line::keep);
    OwnedRef threshold = check(PyNumber_Float(conf));
    OwnedRef keep = check(PyObject_RichCompare(columns[2].get(), threshold.get(), Py_GE));
    site.at(detect_line::result);
    OwnedRef result = check(PyList_New(0));
    site.at(detect_line::zip);
    // zip(...): all three selections, then the iterators.
    OwnedRef kept[3], iters[3];
    for (int i = 0; i < 3; ++i) kept[i] = get_item(columns[i].get(), keep.get());
    for (int i = 0; i < 3; ++i) iters[i] = check(PyObject_GetIter(kept[i].get()));
    for (;;) {
        site.at(detect_line::zip);
        OwnedRef row[3];
        for (int i = 0; i < 3; ++i) {
            row[i] = next(iters[i].get());
            if (!row[i]) return result;  // zip stops at the shortest
        }
        OwnedRef detection = make_detection(self, row[0].get(), row[1].get(), row[2].get(), site);
        site.at(detect_line::append);
        check(PyList_Append(result.get(), detection.get()));
    }
}

OwnedRef detect_impl(PyObject* const* args, Frame& site) {
    PyObject* self = args[0];
    PyObject* image = args[1];
    PyObject* conf = args[2];

    if (!is_usable_input(image, site)) {
        site.at(detect_line::raise_bad_input);
        OwnedRef detect_error = global(site, state.name_DetectError);
        raise_new(detect_error.get(), state.msg_bad_input);
    }
    site.at(detect_line::preprocess);
    OwnedRef prepared = call_method(self, state.name__preprocess, image);
    OwnedRef inputs[2];
    unpack(prepared.get(), inputs, 2);
    OwnedRef x = cast_input(self, inputs[0].get(), site);
    OwnedRef outputs[3];
    run_session(self, x.get(), inputs[1].get(), site, outputs);
    return confident_detections(self, outputs, conf, site);
}

// ---------------------------------------------------------------------------
// Shared detector and probes

// The body of `with _LOCK:` in get_detector: look up, construct if missing, read.
OwnedRef cached_or_new(PyObject* key, PyObject* model, PyObject* device_key, Frame& site) {
    site.at(get_detector_line::if_missing);
    OwnedRef cache = global(site, state.name__CACHE);
    if (!check(PySequence_Contains(cache.get(), key))) {
        site.at(get_detector_line::construct);
        OwnedRef cls = global(site, state.name_DfineDetector);
        const bool automatic = compare(device_key, state.str_auto, Py_EQ);
        OwnedRef detector = call(cls.get(), model, automatic ? Py_None : device_key);
        site.at(get_detector_line::store);
        OwnedRef cache_now = global(site, state.name__CACHE);
        check(PyObject_SetItem(cache_now.get(), key, detector.get()));
    }
    site.at(get_detector_line::return_cached);
    OwnedRef cache_now = global(site, state.name__CACHE);
    return get_item(cache_now.get(), key);
}

// Leaves a with-block by the exception being raised: __exit__ sees it and
// may suppress it, and the function then returns None.
OwnedRef exit_with_exception(PyObject* exit, Frame& site, int with_line) {
    CaughtError caught(site);
    site.at(with_line);
    PyObject* value = caught.value();
    PyObject* tb = PyException_GetTraceback(value);
    OwnedRef tb_ref = OwnedRef::steal(tb);
    OwnedRef exited = call(exit, reinterpret_cast<PyObject*>(Py_TYPE(value)), value, tb ? tb : Py_None);
    if (!is_true(exited.get())) caught.reraise();
    caught.discard();
    return OwnedRef::borrow(Py_None);
}

// `with manager: return body()` as the statement runs it: __enter__ and
// __exit__ looked up on the type, both before entering; __exit__ called at
// the with statement's line.
template <typename Body>
OwnedRef with_statement(PyObject* manager, Frame& site, int with_line, Body body) {
    OwnedRef enter = lookup_special(manager, state.name___enter__);
    OwnedRef exit = enter ? lookup_special(manager, state.name___exit__) : OwnedRef();
    if (!exit) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s",
                     Py_TYPE(manager)->tp_name, enter ? " (missed __exit__ method)" : "");
        throw PythonError{};
    }
    call(enter.get());  // what __enter__ returns is not kept
    OwnedRef result;
    try {
        result = body();
    } catch (const PythonError&) {
        return exit_with_exception(exit.get(), site, with_line);
    }
    site.at(with_line);
    call(exit.get(), Py_None, Py_None, Py_None);
    return result;
}

OwnedRef get_detector_impl(PyObject* const* args, Frame& site) {
    PyObject* model = args[0];
    PyObject* device = args[1];

    site.at(get_detector_line::device_given);
    const bool named = is_true(device);
    site.at(get_detector_line::key);
    OwnedRef key = check(PyTuple_Pack(2, model, named ? device : state.str_auto.get()));
    PyObject* device_key = PyTuple_GET_ITEM(key.get(), 1);
    site.at(get_detector_line::with_lock);
    OwnedRef lock = global(site, state.name__LOCK);
    return with_statement(lock.get(), site, get_detector_line::with_lock,
                          [&] { return cached_or_new(key.get(), model, device_key, site); });
}

OwnedRef available_impl(PyObject* const*, Frame& site) {
    site.at(available_line::probe);
    OwnedRef probe = global(site, state.name_is_available);
    return call(probe.get());
}

// ---------------------------------------------------------------------------
// What construction reads besides its arguments: the class names the model
// declares, and the station's thread settings

// get_modelmeta = getattr(session, "get_modelmeta", None)
// text = get_modelmeta().custom_metadata_map.get("names")   (None without get_modelmeta)
OwnedRef declared_text(PyObject* session, Frame& site) {
    site.at(declared_names_line::get_modelmeta);
    OwnedRef get_modelmeta = OwnedRef::steal(PyObject_GetAttr(session, state.name_get_modelmeta));
    if (!get_modelmeta) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();  // a session that offers no metadata declares nothing
        return OwnedRef::borrow(Py_None);
    }
    if (get_modelmeta.get() == Py_None) return get_modelmeta;
    site.at(declared_names_line::text);
    OwnedRef meta = call(get_modelmeta.get());
    OwnedRef entries = get_attr(meta.get(), state.name_custom_metadata_map);
    return call_method(entries.get(), state.name_get, state.name_names);  // the metadata entry "names"
}

// try: value = json.loads(text, object_pairs_hook=tuple)
// except (ValueError, RecursionError): value = None
OwnedRef parse_declaration(PyObject* json, PyObject* text, Frame& site) {
    site.at(declared_names_line::loads);
    try {
        OwnedRef loads = get_attr(json, state.name_loads);
        PyObject* pairs_hook = reinterpret_cast<PyObject*>(&PyTuple_Type);
        return call_kw(loads.get(), {text}, state.kw_pair_hook, {pairs_hook});
    } catch (const PythonError&) {
        CaughtError exc(site);
        if (!exc.matches(state.not_json)) exc.reraise();
        exc.discard();
        return OwnedRef::borrow(Py_None);
    }
}

// cls_id = key if isinstance(key, int) else int(key) if <key is 1 to 18 ASCII digits> else -1
// Empty for -1, which the next statement refuses before reading anything else.
OwnedRef class_id(PyObject* key, Frame& site) {
    site.at(declared_names_line::cls_id);
    if (check(PyObject_IsInstance(key, reinterpret_cast<PyObject*>(&PyLong_Type)))) return OwnedRef::borrow(key);
    if (!is_true(call_method(key, state.name_isascii).get()) || !is_true(call_method(key, state.name_isdigit).get()))
        return {};
    OwnedRef length = check(PyLong_FromSsize_t(check(PyObject_Size(key))));
    if (!compare(length.get(), state.int_18, Py_LE)) return {};
    return check(PyNumber_Long(key));
}

// enumerate(value) if isinstance(value, list) else value if isinstance(value, tuple) else ()
OwnedRef declared_pairs(PyObject* value) {
    if (check(PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyList_Type))))
        return call(reinterpret_cast<PyObject*>(&PyEnum_Type), value);
    if (check(PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyTuple_Type)))) return OwnedRef::borrow(value);
    return check(PyTuple_New(0));
}

// if cls_id < 0 or cls_id in names or not isinstance(name, str): break
// An empty cls_id stands for -1 (see class_id).
bool is_unusable(PyObject* cls_id, PyObject* names, PyObject* name, Frame& site) {
    site.at(declared_names_line::if_unusable);
    return !cls_id || compare(cls_id, state.int_0, Py_LT) || check(PySequence_Contains(names, cls_id)) ||
           !check(PyObject_IsInstance(name, reinterpret_cast<PyObject*>(&PyUnicode_Type)));
}

// for key, name in pairs:
//     cls_id = ...
//     if <unusable>: break
//     names[cls_id] = name
// True when the loop ran to its end, as its `else` clause would run.
bool store_pairs(PyObject* pairs, PyObject* names, Frame& site) {
    OwnedRef it = check(PyObject_GetIter(pairs));
    for (;;) {
        site.at(declared_names_line::for_pairs);
        OwnedRef pair = next(it.get());
        if (!pair) return true;
        OwnedRef key_name[2];
        unpack(pair.get(), key_name, 2);
        OwnedRef cls_id = class_id(key_name[0].get(), site);
        if (is_unusable(cls_id.get(), names, key_name[1].get(), site)) return false;
        site.at(declared_names_line::store);
        check(PyObject_SetItem(names, cls_id.get(), key_name[1].get()));
    }
}

// logger.warning("Class names in %s ignored: ...", model_file); return None
OwnedRef names_ignored(PyObject* model_file, Frame& site) {
    site.at(declared_names_line::warn_ignored);
    OwnedRef warning = logger_method(site, state.name_warning);
    call(warning.get(), state.fmt_names_ignored, model_file);
    return OwnedRef::borrow(Py_None);
}

OwnedRef declared_names_impl(PyObject* const* args, Frame& site) {
    PyObject* session = args[0];
    PyObject* model_file = args[1];
    site.at(declared_names_line::import_json);
    OwnedRef json = check(PyImport_Import(state.name_json));
    OwnedRef text = declared_text(session, site);
    if (text.get() == Py_None) return text;
    OwnedRef value = parse_declaration(json.get(), text.get(), site);
    site.at(declared_names_line::for_pairs);
    OwnedRef names = check(PyDict_New());
    OwnedRef pairs = declared_pairs(value.get());
    // else: if names: return names
    if (store_pairs(pairs.get(), names.get(), site) && PyDict_GET_SIZE(names.get()) > 0) return names;
    return names_ignored(model_file, site);
}

// value.isascii() and value.isdigit() and len(value) <= 4 and 1 <= int(value) <= 1024
bool is_thread_count(PyObject* value) {
    if (!is_true(call_method(value, state.name_isascii).get()) ||
        !is_true(call_method(value, state.name_isdigit).get()))
        return false;
    OwnedRef length = check(PyLong_FromSsize_t(check(PyObject_Size(value))));
    if (!compare(length.get(), state.int_4, Py_LE)) return false;
    OwnedRef count = check(PyNumber_Long(value));
    return compare(state.int_1, count.get(), Py_LE) && compare(count.get(), state.int_1024, Py_LE);
}

// raise DetectError(f"...{value!r}"), the class looked up before the message is made
[[noreturn]] void raise_bad_setting(const char* format, PyObject* name, PyObject* value, Frame& site) {
    OwnedRef detect_error = global(site, state.name_DetectError);
    OwnedRef message = check(PyUnicode_FromFormat(format, name, value));
    raise_new(detect_error.get(), message.get());
}

// The station's settings, in the order of setting_names: threads, inter, spin.
using Settings = OwnedRef[3];

// threads, inter, spin = os.environ.get(<setting>) or None, each in turn
void read_settings(PyObject* os, Settings& values, Frame& site) {
    const int read_lines[] = {session_options_line::threads, session_options_line::inter, session_options_line::spin};
    for (int i = 0; i < 3; ++i) {
        site.at(read_lines[i]);
        OwnedRef environ = get_attr(os, state.name_environ);
        OwnedRef value = call_method(environ.get(), state.name_get, state.setting_names[i]);
        values[i] = is_true(value.get()) ? std::move(value) : OwnedRef::borrow(Py_None);
    }
}

// for name, value in ((<threads>), (<inter>)):
//     if value is not None and not <a thread count>: raise DetectError(...)
// if spin is not None and spin not in ("0", "1"): raise DetectError(...)
void check_settings(const Settings& values, Frame& site) {
    for (int i = 0; i < 2; ++i) {
        site.at(session_options_line::if_bad_count);
        if (values[i].get() == Py_None || is_thread_count(values[i].get())) continue;
        site.at(session_options_line::raise_bad_count);
        raise_bad_setting("%U must be a whole number from 1 to 1024, not %R", state.setting_names[i], values[i].get(),
                          site);
    }
    PyObject* spin = values[2].get();
    site.at(session_options_line::if_bad_spin);
    if (spin != Py_None && !check(PySequence_Contains(state.spin_values, spin))) {
        site.at(session_options_line::raise_bad_spin);
        raise_bad_setting(
            "%U must be 0 (idle worker threads sleep) or 1 (they busy-wait, ONNX Runtime's default), not %R",
            state.setting_names[2], spin, site);
    }
}

// options = ort.SessionOptions(), each setting that is set applied in turn;
// return {"sess_options": options}
OwnedRef session_keywords(PyObject* ort, const Settings& values, Frame& site) {
    site.at(session_options_line::options);
    OwnedRef options_type = get_attr(ort, state.name_SessionOptions);
    OwnedRef options = call(options_type.get());
    PyObject* const fields[] = {state.name_intra_op_num_threads, state.name_inter_op_num_threads};
    const int set_lines[] = {session_options_line::set_intra, session_options_line::set_inter};
    for (int i = 0; i < 2; ++i) {
        if (values[i].get() == Py_None) continue;
        site.at(set_lines[i]);
        OwnedRef count = check(PyNumber_Long(values[i].get()));
        set_attr(options.get(), fields[i], count.get());
    }
    PyObject* spin = values[2].get();
    if (spin != Py_None) {
        site.at(session_options_line::spin_intra);
        call_method(options.get(), state.name_add_session_config_entry, state.key_intra_spinning, spin);
        site.at(session_options_line::spin_inter);
        call_method(options.get(), state.name_add_session_config_entry, state.key_inter_spinning, spin);
    }
    OwnedRef keywords = check(PyDict_New());
    check(PyDict_SetItem(keywords.get(), state.name_sess_options, options.get()));
    return keywords;
}

OwnedRef session_options_impl(PyObject* const* args, Frame& site) {
    PyObject* ort = args[0];
    site.at(session_options_line::import_os);
    OwnedRef os = check(PyImport_Import(state.name_os));
    Settings values;
    read_settings(os.get(), values, site);
    check_settings(values, site);
    // if threads is None and inter is None and spin is None: return {}
    if (values[0].get() == Py_None && values[1].get() == Py_None && values[2].get() == Py_None)
        return check(PyDict_New());
    return session_keywords(ort, values, site);
}

// ---------------------------------------------------------------------------
// The module body

constexpr const char* kParamsModel[] = {"model"};
constexpr const char* kParamsDevice[] = {"device"};
constexpr const char* kParamsInit[] = {"self", "model", "device"};
constexpr const char* kParamsPreprocess[] = {"self", "image"};
constexpr const char* kParamsDetect[] = {"self", "image", "conf", "iou"};
constexpr const char* kParamsGetDetector[] = {"model", "device"};
constexpr const char* kParamsDeclaredNames[] = {"session", "model_file"};
constexpr const char* kParamsSessionOptions[] = {"ort"};

const FunctionDef kIsAvailable{
    "is_available", "is_available", kIsAvailableDoc, kParamsModel, 1, module_line::def_is_available, is_available_impl,
};
const FunctionDef kProviders{
    "_providers", "_providers", kProvidersDoc, kParamsDevice, 1, module_line::def_providers, providers_impl,
};
const FunctionDef kInit{
    "__init__", "DfineDetector.__init__", nullptr, kParamsInit, 3, module_line::def_init, init_impl,
};
const FunctionDef kPreprocess{
    "_preprocess",   "DfineDetector._preprocess", kPreprocessDoc, kParamsPreprocess, 2, module_line::def_preprocess,
    preprocess_impl,
};
const FunctionDef kDetect{
    "detect", "DfineDetector.detect", kDetectDoc, kParamsDetect, 4, module_line::def_detect, detect_impl,
};
const FunctionDef kGetDetector{
    "get_detector",    "get_detector", kGetDetectorDoc, kParamsGetDetector, 2, module_line::def_get_detector,
    get_detector_impl,
};
const FunctionDef kAvailable{
    "available", "available", kAvailableDoc, nullptr, 0, module_line::def_available, available_impl,
};
const FunctionDef kDeclaredNames{
    "_declared_names",   "_declared_names", kDeclaredNamesDoc, kParamsDeclaredNames, 2, module_line::def_declared_names,
    declared_names_impl,
};
const FunctionDef kSessionOptions{
    "_session_options",
    "_session_options",
    kSessionOptionsDoc,
    kParamsSessionOptions,
    1,
    module_line::def_session_options,
    session_options_impl,
};

// "major.minor..." as two numbers; false for anything else.
bool parse_release(const char* text, int& major, int& minor) {
    int* parts[] = {&major, &minor};
    for (int i = 0; i < 2; ++i) {
        if (i == 1 && *text++ != '.') return false;
        if (*text < '0' || *text > '9') return false;
        *parts[i] = 0;
        for (; *text >= '0' && *text <= '9'; ++text) {
            if (*parts[i] > 9999) return false;
            *parts[i] = *parts[i] * 10 + (*text - '0');
        }
    }
    return true;
}

// Pillow's release from `PIL.__version__`; false without an exception when
// that is missing or not a readable version string.  `shown` gets the
// version as a note shows it: the string itself when it is readable, else
// its ascii() or "(unreadable)".
bool read_pillow_release(int& major, int& minor, OwnedRef& shown) {
    OwnedRef pil = OwnedRef::steal(PyImport_ImportModule("PIL"));
    OwnedRef version = pil ? OwnedRef::steal(PyObject_GetAttr(pil.get(), state.name___version__)) : OwnedRef();
    const bool is_text = version && PyUnicode_Check(version.get());
    const char* utf8 = is_text ? PyUnicode_AsUTF8(version.get()) : nullptr;
    PyErr_Clear();
    const bool readable = utf8 && parse_release(utf8, major, minor);
    shown = readable ? version : is_text ? OwnedRef::steal(PyObject_ASCII(version.get())) : OwnedRef();
    PyErr_Clear();
    if (!shown) shown = text("(unreadable)");
    return readable;
}

// The objects the fused path is allowed to stand in for; false when one is
// not what the kernel reproduces.  Throws when one is missing.
bool watch_library_names(Libraries& lib) {
    OwnedRef image_class = get_attr(lib.mod_image, state.name_Image);
    if (!PyType_Check(image_class.get())) return false;
    for (size_t i = 0; i < kWatchedCount; ++i) {
        const WatchedName& w = kWatchedNames[i];
        PyObject* owner = w.owner == Owner::cv2     ? lib.mod_cv2.get()
                          : w.owner == Owner::image ? lib.mod_image.get()
                          : w.owner == Owner::np    ? lib.mod_np.get()
                                                    : image_class.get();
        OwnedRef name = intern(w.name);
        OwnedRef seen = get_attr(owner, name.get());
        if (w.constant >= 0 && (!PyLong_Check(seen.get()) || PyLong_AsLong(seen.get()) != w.constant)) return false;
        lib.watched[i].owner = OwnedRef::borrow(owner);
        lib.watched[i].name = std::move(name);
        lib.watched[i].seen = std::move(seen);
    }
    return true;
}

struct Body {
    PyObject* module;
    PyObject* dict;
    PyObject* name;      // the full dotted name, for __module__
    PyObject* filename;  // for code objects
    Frame& site;

    void at(int line) { site.line = line; }
    void bind(PyObject* key, OwnedRef value) { check(PyDict_SetItem(dict, key, value.get())); }
    OwnedRef read(PyObject* key) { return global(site, key); }

    OwnedRef import(const char* module_name) {
        OwnedRef n = text(module_name);
        return check(PyImport_ImportModuleLevelObject(n.get(), dict, nullptr, nullptr, 0));
    }

    // `from package import member`, with the interpreter's fallback to a
    // submodule and its ImportError when neither exists.
    OwnedRef import_from(const char* package, const char* member) {
        OwnedRef pkg_name = text(package);
        OwnedRef member_name = text(member);
        OwnedRef fromlist = check(PyTuple_Pack(1, member_name.get()));
        OwnedRef pkg = check(PyImport_ImportModuleLevelObject(pkg_name.get(), dict, nullptr, fromlist.get(), 0));
        OwnedRef value = OwnedRef::steal(PyObject_GetAttr(pkg.get(), member_name.get()));
        if (value) return value;
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        // The submodule, found in the registry under the package's own name.
        OwnedRef pkg_name_now = OwnedRef::steal(PyObject_GetAttr(pkg.get(), state.name___name__));
        if (pkg_name_now && PyUnicode_Check(pkg_name_now.get())) {
            OwnedRef full = check(PyUnicode_FromFormat("%U.%U", pkg_name_now.get(), member_name.get()));
            PyObject* sub = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get());
            if (sub) return OwnedRef::borrow(sub);
            if (PyErr_Occurred()) throw PythonError{};
        } else {
            pkg_name_now = OwnedRef();
        }
        PyErr_Clear();
        raise_cannot_import(pkg.get(), pkg_name_now.get(), member_name.get());
    }

    // ImportError("cannot import name ...") as the import statement words it.
    [[noreturn]] static void raise_cannot_import(PyObject* pkg, PyObject* pkg_name, PyObject* member_name) {
        OwnedRef shown =
            pkg_name ? OwnedRef::borrow(pkg_name) : OwnedRef::steal(PyUnicode_FromString("<unknown module name>"));
        OwnedRef path = OwnedRef::steal(PyModule_GetFilenameObject(pkg));
        if (!shown) throw PythonError{};
        OwnedRef message;
        if (!path || !PyUnicode_Check(path.get())) {
            PyErr_Clear();
            path = OwnedRef();
            message = check(
                PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", member_name, shown.get()));
        } else {
            const char* fmt = package_initializing(pkg) ? "cannot import name %R from partially initialized module %R "
                                                          "(most likely due to a circular import) (%S)"
                                                        : "cannot import name %R from %R (%S)";
            message = check(PyUnicode_FromFormat(fmt, member_name, shown.get(), path.get()));
        }
        PyErr_SetImportError(message.get(), pkg_name, path.get());
        throw PythonError{};
    }

    // Whether the package is still running its own import (a circular import).
    static bool package_initializing(PyObject* pkg) {
        OwnedRef spec = OwnedRef::steal(PyObject_GetAttr(pkg, state.name___spec__));
        OwnedRef flag = spec ? OwnedRef::steal(PyObject_GetAttr(spec.get(), state.name__initializing)) : OwnedRef();
        int initializing = flag ? PyObject_IsTrue(flag.get()) : 0;
        PyErr_Clear();
        return initializing > 0;
    }

    // A class statement's namespace starts with __module__ and __qualname__,
    // then holds the body's names in order.
    OwnedRef make_class(const char* cls_name, PyObject* bases, PyObject* body) {
        OwnedRef qualname = text(cls_name);
        OwnedRef ns = check(PyDict_New());
        check(PyDict_SetItem(ns.get(), state.name___module__, name));
        check(PyDict_SetItem(ns.get(), state.name___qualname__, qualname.get()));
        check(PyDict_Update(ns.get(), body));
        PyObject* metatype = reinterpret_cast<PyObject*>(&PyType_Type);
        return check(PyObject_CallFunction(metatype, "sOO", cls_name, bases, ns.get()));
    }

    OwnedRef function(const FunctionDef& def, PyObject* defaults, std::initializer_list<const char*> annotations) {
        OwnedRef ann = check(PyDict_New());
        for (auto it = annotations.begin(); it != annotations.end(); it += 2)
            check(PyDict_SetItemString(ann.get(), it[0], text(it[1]).get()));
        return check(make_function(def, name, filename, dict, defaults, ann.get()));
    }

    void run() {
        import_libraries();
        bind_settings();
        define_records();
        define_functions();
    }

    void import_libraries();
    void remember_libraries();
    void bind_settings();
    void note_unknown_pillow();
    void define_records();
    void define_functions();
    void define_detector(PyObject* default_model);
};

void Body::import_libraries() {
    at(module_line::import_logging);
    bind(state.name_logging, import("logging"));
    at(module_line::import_threading);
    bind(state.name_threading, import("threading"));
    at(module_line::import_dataclass);
    bind(state.name_dataclass, import_from("dataclasses", "dataclass"));
    at(module_line::import_cv2);
    bind(state.name_cv2, import("cv2"));
    at(module_line::import_numpy);
    bind(state.name_np, import("numpy"));
    at(module_line::import_image);
    bind(state.name_Image, import_from("PIL", "Image"));
    at(module_line::import_weights);
    bind(state.name_weights, import_from("quarn", "weights"));
    remember_libraries();
}

// Keeps what the native paths need to recognise the libraries later.  A
// failed earlier import's references are dropped now, under the import lock.
void Body::remember_libraries() {
    Libraries lib;
    lib.mod_cv2 = read(state.name_cv2);
    lib.mod_image = read(state.name_Image);
    lib.mod_np = read(state.name_np);
    lib.type_ndarray = get_attr(lib.mod_np, state.name_ndarray);
    lib.dtype_float16 = get_attr(lib.mod_np, state.name_float16);
    // The pass order depends on Pillow's release.  A release whose rule is
    // not known, an earlier or a later one, or an unreadable version, keeps
    // every image on the library path, but not the float16 cast.
    int major = 0, minor = 0;
    OwnedRef shown;
    std::optional<PassOrder> order;
    if (read_pillow_release(major, minor, shown)) order = pass_order_for_pillow(major, minor);
    lib.pillow_version_known = order.has_value();
    lib.pass_order = order.value_or(PassOrder::horizontal_first);
    if (!order) lib.pillow_shown = std::move(shown);
    try {
        lib.fn_empty = get_attr(lib.mod_np, state.name_empty);
        lib.fused_preprocess = lib.pillow_version_known && watch_library_names(lib);
    } catch (const PythonError&) {
        PyErr_Clear();  // a name not found only keeps the fused path off
    }
    static_cast<Libraries&>(state) = std::move(lib);
}

void Body::bind_settings() {
    at(module_line::logger);
    OwnedRef logging = read(state.name_logging);
    OwnedRef logger_name = text("quarn.detect.dfine");
    bind(state.name_logger, call_method(logging.get(), state.name_getLogger, logger_name.get()));
    note_unknown_pillow();
    at(module_line::default_weights);
    bind(state.name_DEFAULT_WEIGHTS, text("dfine_m_coco.onnx"));
    at(module_line::module_key);
    bind(state.name__MODULE, text("detect"));
    at(module_line::input_size);
    bind(state.name__INPUT_SIZE, check(PyLong_FromLong(640)));
    at(module_line::coco80);
    OwnedRef coco = check(PyTuple_New(80));
    for (Py_ssize_t i = 0; i < 80; ++i) PyTuple_SET_ITEM(coco.get(), i, text(kCoco80[i]).release());
    bind(state.name_COCO80, coco);
    at(module_line::cache);
    bind(state.name__CACHE, check(PyDict_New()));
    at(module_line::lock);
    OwnedRef threading = read(state.name_threading);
    bind(state.name__LOCK, call_method(threading.get(), state.name_Lock));
}

// Says once per process, as soon as there is a logger, why the fused
// preprocessing is off for the Pillow in use.
void Body::note_unknown_pillow() {
    if (!state.pillow_shown || state.pillow_noted) return;
    OwnedRef logger = read(state.name_logger);
    OwnedRef known = text(kKnownPillowReleases);
    call_method(logger.get(), state.name_info, state.fmt_pillow_unknown, state.pillow_shown, known.get());
    state.pillow_noted = true;
}

void Body::define_records() {
    at(module_line::class_detect_error);
    OwnedRef bases = check(PyTuple_Pack(1, PyExc_RuntimeError));
    OwnedRef ns = check(Py_BuildValue("{s:s}", "__doc__", kDetectErrorDoc));
    bind(state.name_DetectError, make_class("DetectError", bases.get(), ns.get()));

    at(module_line::class_detection);
    OwnedRef fields = check(PyDict_New());
    for (const RecordField& field : kDetectionFields)
        check(PyDict_SetItemString(fields.get(), field.name, text(field.annotation).get()));
    const char* defaulted = kDetectionFields[kDetectedFieldCount].name;  // obb = None
    OwnedRef record_ns = check(
        Py_BuildValue("{s:O,s:s,s:O}", "__annotations__", fields.get(), "__doc__", kDetectionDoc, defaulted, Py_None));
    OwnedRef no_bases = check(PyTuple_New(0));
    OwnedRef plain = make_class("Detection", no_bases.get(), record_ns.get());
    OwnedRef dataclass = read(state.name_dataclass);
    bind(state.name_Detection, call(dataclass.get(), plain.get()));
}

void Body::define_functions() {
    // Defaults are fixed now: rebinding DEFAULT_WEIGHTS later changes none.
    OwnedRef default_model = read(state.name_DEFAULT_WEIGHTS);
    OwnedRef model_defaults = check(PyTuple_Pack(1, default_model.get()));
    at(module_line::def_is_available);
    bind(state.name_is_available, function(kIsAvailable, model_defaults.get(), {"model", "str", "return", "bool"}));
    at(module_line::def_providers);
    bind(state.name__providers, function(kProviders, nullptr, {"device", "str | None", "return", "list[str]"}));
    define_detector(default_model.get());
    at(module_line::def_get_detector);
    OwnedRef getter_defaults = check(PyTuple_Pack(2, default_model.get(), Py_None));
    bind(state.name_get_detector, function(kGetDetector, getter_defaults.get(),
                                           {"model", "str", "device", "str | None", "return", "DfineDetector"}));
    at(module_line::def_available);
    bind(state.name_available, function(kAvailable, nullptr, {"return", "bool"}));
    at(module_line::def_declared_names);
    bind(state.name__declared_names,
         function(kDeclaredNames, nullptr,
                  {"session", "object", "model_file", "str", "return", "dict[int, str] | None"}));
    at(module_line::def_session_options);
    bind(state.name__session_options,
         function(kSessionOptions, nullptr, {"ort", "object", "return", "dict[str, object]"}));
}

void Body::define_detector(PyObject* default_model) {
    at(module_line::class_detector);
    OwnedRef init_defaults = check(PyTuple_Pack(2, default_model, Py_None));
    OwnedRef detect_defaults = check(Py_BuildValue("(dd)", 0.25, 0.45));
    OwnedRef init = function(kInit, init_defaults.get(), {"model", "str", "device", "str | None", "return", "None"});
    OwnedRef preprocess =
        function(kPreprocess, nullptr, {"image", "np.ndarray", "return", "tuple[np.ndarray, np.ndarray]"});
    OwnedRef detect = function(kDetect, detect_defaults.get(),
                               {"image", "np.ndarray", "conf", "float", "iou", "float", "return", "list[Detection]"});
    OwnedRef ns = check(Py_BuildValue("{s:s,s:O,s:O,s:O}", "__doc__", kDetectorDoc, "__init__", init.get(),
                                      "_preprocess", preprocess.get(), "detect", detect.get()));
    OwnedRef no_bases = check(PyTuple_New(0));
    bind(state.name_DfineDetector, make_class("DfineDetector", no_bases.get(), ns.get()));
}

// ---------------------------------------------------------------------------
// The loading frame: one module per process, in one interpreter.

// Copies `spec.<attr>` into the module as `key`; a missing attribute is skipped.
void copy_spec_attr(PyObject* spec, PyObject* attr, PyObject* dict, PyObject* key, bool keep_none) {
    OwnedRef value = OwnedRef::steal(PyObject_GetAttr(spec, attr));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        return;
    }
    if (!keep_none && value.get() == Py_None) return;
    check(PyDict_SetItem(dict, key, value.get()));
}

OwnedRef create_steps(PyObject* spec) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) throw PythonError{};
    if (state.interpreter == -1) {
        state.interpreter = id;
    } else if (state.interpreter != id) {
        PyErr_SetString(
            PyExc_ImportError,
            "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        throw PythonError{};
    }
    if (state.module) return state.module;
    make_names();

    OwnedRef name = get_attr(spec, state.name_name);
    OwnedRef module = check(PyModule_NewObject(name.get()));
    PyObject* dict = PyModule_GetDict(module.get());
    copy_spec_attr(spec, state.name_loader, dict, state.name___loader__, true);
    copy_spec_attr(spec, state.name_origin, dict, state.name___file__, true);
    copy_spec_attr(spec, state.name_parent, dict, state.name___package__, true);
    copy_spec_attr(spec, state.name_submodule_search_locations, dict, state.name___path__, false);
    return module;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    try {
        return create_steps(spec).release();
    } catch (...) {
        set_error_for_exception();
        return nullptr;
    }
}

void warn_on_version_mismatch() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == 3 && minor == 11) return;
    check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                           "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3, 11,
                           kFullName, "does not match", major, minor));
}

void exec_steps(PyObject* module, PyObject* dict, Frame& site, bool& registered) {
    OwnedRef builtins = check(PyImport_ImportModule("builtins"));
    check(PyDict_SetItem(dict, state.name___builtins__, builtins.get()));
    warn_on_version_mismatch();
    make_names();
    make_constants();
    check(ready_function_type());

    OwnedRef full_name = text(kFullName);
    OwnedRef filename = text(kSourceFile);
    PyObject* registry = PyImport_GetModuleDict();
    const bool present = check(PyDict_Contains(registry, full_name.get()));
    if (!present) check(PyDict_SetItem(registry, full_name.get(), module));
    registered = !present;

    Body body{module, dict, full_name.get(), filename.get(), site};
    body.run();
}

// Takes back the registry entry a failed exec step added, unless someone has
// replaced it since, so that the next import runs the body again.
void unregister(PyObject* module) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    OwnedRef full_name = OwnedRef::steal(PyUnicode_FromString(kFullName));
    PyObject* registry = PyImport_GetModuleDict();
    PyObject* entry = full_name ? PyDict_GetItemWithError(registry, full_name.get()) : nullptr;
    if (entry == module) PyDict_DelItem(registry, full_name.get());
    PyErr_Clear();  // the exec step's own error is the one to report
    PyErr_Restore(type, value, tb);
}

int exec_module(PyObject* module) {
    if (state.module) {
        if (state.module.get() == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'dfine_runner' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    state.module = OwnedRef::borrow(module);
    PyObject* dict = PyModule_GetDict(module);
    Frame site{dict, module_line::first, module_line::first};
    bool registered = false;
    try {
        exec_steps(module, dict, site, registered);
        return 0;
    } catch (...) {
        set_error_for_exception();
    }
    if (PyErr_Occurred()) _PyTraceback_Add("init quarn.inspection.detect.dfine_runner", kSourceFile, site.line);
    if (registered) unregister(module);
    state.module = OwnedRef();
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init quarn.inspection.detect.dfine_runner");
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "dfine_runner", kModuleDoc, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quarn

PyMODINIT_FUNC PyInit_dfine_runner(void) { return PyModuleDef_Init(&quarn::module_def); }
