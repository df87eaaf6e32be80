// One video call on the media side: checks, plan, output geometry and batch,
// then the run that decodes, chooses, converts and places each frame.
#include <span>
#include <type_traits>

#include "ffmpeg/batch.hpp"
#include "ffmpeg/compat.hpp"
#include "ffmpeg/convert.hpp"
#include "ffmpeg/decoder.hpp"
#include "ffmpeg/direct_resize.hpp"
#include "ffmpeg/plan.hpp"
#include "ffmpeg/playback.hpp"
#include "ffmpeg/transform.hpp"

namespace ffmpeg {

namespace {

struct Output {
  const OutputPlan& plan;
  const std::vector<Transform>& transforms;
  Batch& batch;
  // The one-pass resize, when asked for and the transforms allow it.
  const std::optional<DirectResize>& direct;
};

// The chosen frame (in the record's `frame`) converted and transformed; the
// image may be the slot itself.
Result<Image> transformed(Decoder& decoder, Output& output, const Image& slot) {
  const AVFrame* frame = decoder.frame();
  if (output.direct) {
    const bool turned = !output.direct->turns.empty();
    auto image = convert_resized(decoder, frame, *output.direct, output.plan,
                                 decoder.pixel_format(), turned ? nullptr : &slot);
    if (!image.ok()) return std::move(image).error();
    if (image.value()) {
      return apply_transforms(decoder, *image.value(), output.direct->turns, output.plan);
    }
    // A frame in another pixel format than the stream's: the two steps.
  }
  // Without transforms the converted frame can go straight into its slot.
  auto image =
      convert_frame(decoder, frame, output.plan, output.transforms.empty() ? &slot : nullptr);
  if (!image.ok()) return std::move(image).error();
  return apply_transforms(decoder, image.value(), output.transforms, output.plan);
}

// Converts the chosen frame once into the primary slot; the other positions
// it answers get copies.
Failure place_chosen_frame(Decoder& decoder, Output& output,
                           std::span<const std::size_t> indices) {
  const AVFrame* frame = decoder.frame();
  auto timestamp = frame_timestamp(frame);
  if (!timestamp.ok()) return std::move(timestamp).error();
  auto image = transformed(decoder, output, output.batch.slot(indices.front()));
  if (!image.ok()) return std::move(image).error();
  return output.batch.write(image.value(), timestamp.value(), compat::frame_duration(frame),
                            decoder.time_base(), indices);
}

// One occurrence per target, none negative, each stored with its target.
Failure take_occurrences(PtsRequest& request) {
  if (!request.by_occurrence) return std::nullopt;
  if (request.occurrences.size() != request.targets.size()) {
    return Error::value("occurrences must match targets");
  }
  for (std::size_t i = 0; i < request.targets.size(); ++i) {
    if (request.occurrences[i] < 0) return Error::value("occurrences must not be negative");
    request.targets[i].occurrence = request.occurrences[i];
  }
  return std::nullopt;
}

template <class Chooser>
Failure run(Decoder& decoder, Plan& plan, Chooser& chooser, Output& output) {
  for (PlanEntry& entry : plan) {
    const auto& selection = std::get<typename Chooser::Answers>(entry.selection);
    if (auto failure = chooser.choose(decoder, selection)) return failure;
    if (auto failure = place_chosen_frame(decoder, output, entry.indices)) return failure;
    if constexpr (std::is_same_v<Chooser, PtsChooser>) {
      if (chooser.stood_in()) decoder.note_stand_ins(entry.indices);
    }
    std::vector<std::size_t>().swap(entry.indices);
  }
  return std::nullopt;
}

}  // namespace

Result<VideoBatch> Decoder::video(VideoRequest request, OutputType output_type,
                                  std::vector<Transform> transforms, bool direct_resize,
                                  PumpPolicy& pump) {
  if (media_type_ == MediaType::audio) {
    return Error::runtime("cannot decode video from audio stream");
  }
  if (!transforms.empty() && output_type == OutputType::native) {
    return Error::value("transforms require RGB output");
  }
  stand_ins_.clear();
  Plan plan;
  std::variant<std::monostate, PtsChooser, PlaybackChooser> chooser;
  auto* targets = std::get_if<PtsRequest>(&request);
  const auto choose_by_pts = [&] {
    chooser.emplace<PtsChooser>(*this, pump, targets->seek_by_index,
                                targets->partial ? 0 : plan.size(), targets->stand_in,
                                targets->continuation);
  };
  if (targets != nullptr) {
    if (auto failure = take_occurrences(*targets)) return std::move(*failure);
    plan = plan_pts(*targets);
    if (!plan.empty()) choose_by_pts();
  } else {
    auto planned = plan_seconds(std::get<SecondsRequest>(request));
    if (!planned.ok()) return std::move(planned).error();
    plan = std::move(planned).value();
    auto playback = PlaybackChooser::create(pump);
    if (!playback.ok()) return std::move(playback).error();
    chooser = std::move(playback).value();
  }
  std::size_t count = 0;
  for (const PlanEntry& entry : plan) count += entry.indices.size();

  auto plan_of_output = output_plan(output_type, pixel_format_);
  if (!plan_of_output.ok()) return std::move(plan_of_output).error();
  auto size = validate_transforms(transforms, {height_, width_});
  if (!size.ok()) return std::move(size).error();
  auto batch =
      Batch::prepare(count, plan_of_output.value(), size.value().height, size.value().width);
  if (!batch.ok()) return std::move(batch).error();
  if (auto failure = check_scalable(transforms, {height_, width_}, plan_of_output.value())) {
    return std::move(*failure);
  }

  std::optional<DirectResize> direct;
  if (direct_resize) direct = plan_direct_resize(transforms, {height_, width_}, pixel_format_);
  Output output{plan_of_output.value(), transforms, batch.value(), direct};
  const bool partial = std::visit([](const auto& asked) { return asked.partial; }, request);
  if (auto* how = std::get_if<PtsChooser>(&chooser)) {
    auto failure = run(*this, plan, *how, output);
    if (how->went_on() && !targets->continuation && (pump.skipped > 0 || pump.damaged > 0)) {
      // What a decoder makes of damage (concealment) depends on the
      // pictures it decoded before, which differ between going on from the
      // previous call and seeking (which leaves out unreferenced frames
      // before the target): the call is decoded again from a seek, so that
      // its answer does not depend on the calls before.
      pump.skipped = pump.damaged = 0;
      stand_ins_.clear();
      plan = plan_pts(*targets);
      choose_by_pts();
      how = &std::get<PtsChooser>(chooser);
      failure = run(*this, plan, *how, output);
    }
    if (failure) return std::move(*failure);
    if (partial) take_out_held_frames(pump);
    how->finish(*this);
  } else if (auto* how = std::get_if<PlaybackChooser>(&chooser)) {
    if (auto failure = run(*this, plan, *how, output)) return std::move(*failure);
    if (partial) take_out_held_frames(pump);
  }
  return std::move(batch).value().finish();
}

}  // namespace ffmpeg
